#!/usr/bin/env python3
"""Writes a chat log of a busy office for the start benchmarks.

    make_log.py <path> <megabytes> [--foreign]

The lines have the shape the chat view writes: a sender, the time, text with some
characters outside ASCII; public lines of the own copy and of others in their colours,
private ones in green italic. By default the file is in the program's own log form
(self-contained paragraphs behind a header that gives the body's length), which the
program reads lazily. With --foreign it is the same conversation as another editor would
save it (no mark, formats carried from paragraph to paragraph), which is read whole.
"""

import sys

SENDERS = ["Anna", "Bertil", "Cecilia", "Dawit"]
HEADER_TABLES = (
    b"{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 DejaVu Sans;}}\n"
    b"{\\colortbl ;\\red255\\green0\\blue0;\\red0\\green0\\blue255;\\red0\\green128\\blue0;}\n"
)


def text_of(i):
    # "Grüße" and "€" are Windows-1252 bytes; "Ω" is outside the code page.
    return ("%s (12:%02d:%02d): Gr\\'fc\\'dfe, the \\'80 report #%d is ready for review "
            "in the usual place \\u937?" % (SENDERS[i % 4], i // 60 % 60, i % 60, i))


def main():
    path, megabytes = sys.argv[1], float(sys.argv[2])
    foreign = "--foreign" in sys.argv[3:]
    target = int(megabytes * 1024 * 1024)
    lines = []
    size = 0
    i = 0
    while size < target:
        private = i % 7 == 3
        colour = 3 if private else (1 if i % 3 == 0 else 2)
        if foreign:
            line = "\\cf%d\\i%s %s\\par\n" % (colour, "" if private else "0", text_of(i))
        else:
            line = "\\plain\\fs20\\cf%d%s %s\\par\n" % (colour, "\\i" if private else "",
                                                      text_of(i))
        data = line.encode("ascii")
        lines.append(data)
        size += len(data)
        i += 1
    body = b"".join(lines)
    with open(path, "wb") as f:
        if foreign:
            f.write(HEADER_TABLES + b"\\uc1\\pard\\f0\\fs20 " + body + b"}\n")
        else:
            f.write(HEADER_TABLES + b"{\\*\\generator Kalvento;}{\\*\\kalventolog1 %d}\n"
                    b"\\uc1\\pard\n" % len(body) + body + b"}\n")


if __name__ == "__main__":
    main()
