#pragma once
// What an operation did whose failure its caller reports and carries on after: nothing
// (it worked), or the text of its failure as the user reads it, the system's words
// included. Writing a file, loading the log, changing the autostart entry and reading a
// damaged document all answer this way; see docs/architecture.md for the other ways.

#include <QString>

#include <utility>

namespace kalvento::platform {

struct [[nodiscard]] Result {
    QString error; // empty when the operation worked

    bool ok() const { return error.isEmpty(); }
    explicit operator bool() const { return ok(); }

    static Result success() { return {}; }
    static Result failure(QString text) { return {std::move(text)}; }
};

} // namespace kalvento::platform
