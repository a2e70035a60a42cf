#pragma once

#include <optional>

// `talvoro --export-history FILE` and `talvoro --import-history FILE`: the history to and from
// a file, without a window, beside a running Talvoro or without one. Each works on the
// settings database directly, never through the running program.
class HistoryCommand {
public:
    // The exit status when the arguments ask for one of these; nothing when they do not.
    static std::optional<int> run(int argc, char *argv[]);
};
