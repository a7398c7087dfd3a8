#include "http/http_url.h"

#include "support/qt_print.h"

#include <gtest/gtest.h>

using kalvento::http::ParseURL;
using kalvento::http::TUrlParts;

TEST(ParseURL, TakesAddressesApartByItsSixRules) {
    const struct {
        const char* url;
        const char* currentPath;
        TUrlParts expected; // Proto, User, Pass, Host, Port, Path
    } rows[] = {
        // 1. nothing
        {"", "/a/b.htm", {}},
        // 2. "./" against the current path's directory
        {"./c.htm", "/a/b.htm", {"", "", "", "", "", "/a/c.htm"}},
        {"./c.htm", "b.htm", {"", "", "", "", "", "/c.htm"}},
        // 3. "../" drops one more directory each
        {"../c.htm", "/a/b/d.htm", {"", "", "", "", "", "/a/c.htm"}},
        {"../../c.htm", "/a/b/d.htm", {"", "", "", "", "", "/c.htm"}},
        {"../../../c.htm", "/a/b/d.htm", {"", "", "", "", "", "/c.htm"}},
        // 4. the scheme: lower-case letters, digits, "+", "-", "." before "://"
        {"http://host/path", "", {"http", "", "", "host", "", "/path"}},
        {"svn+ssh://host/x", "", {"svn+ssh", "", "", "host", "", "/x"}},
        {"HTTP://host/path", "", {"", "", "", "HTTP", "", "//host/path"}},
        {"/only/a/path?q=1", "", {"http", "", "", "", "", "/only/a/path?q=1"}},
        {"//double/slash", "", {"http", "", "", "", "", "/double/slash"}},
        {"MailTo:someone@example.org", "", {"mailto", "someone", "", "example.org", "", ""}},
        {"host.lan:8080/doc", "", {"", "", "", "host.lan", "8080", "/doc"}},
        // 5. the authority ends at the first "/" or "?"
        {"http://host?x=/y", "", {"http", "", "", "host", "", "?x=/y"}},
        {"http://host:81", "", {"http", "", "", "host", "81", ""}},
        {"http://host/a?b=c/d", "", {"http", "", "", "host", "", "/a?b=c/d"}},
        // 6. user information before the last "@", the port after the last ":"
        {"http://user:pa:ss@host:8080/x", "", {"http", "user", "pa:ss", "host", "8080", "/x"}},
        {"http://user@host/x", "", {"http", "user", "", "host", "", "/x"}},
        {"http://a@b@host/x", "", {"http", "a@b", "", "host", "", "/x"}},
        {"http://host:/x", "", {"http", "", "", "host", "", "/x"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.url);
        const TUrlParts parts =
            ParseURL(QString::fromLatin1(row.url), QString::fromLatin1(row.currentPath));
        EXPECT_EQ(parts.Proto, row.expected.Proto);
        EXPECT_EQ(parts.User, row.expected.User);
        EXPECT_EQ(parts.Pass, row.expected.Pass);
        EXPECT_EQ(parts.Host, row.expected.Host);
        EXPECT_EQ(parts.Port, row.expected.Port);
        EXPECT_EQ(parts.Path, row.expected.Path);
    }
}
