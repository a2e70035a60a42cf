#pragma once

#include <QRecursiveMutex>

// The settings file has one writer at a time. Writers of this process (the settings store, the
// history's writes, the search index worker) take turns here before they write: a waiting
// writer gets the file the moment the one before lets go, where SQLite's own busy wait polls
// with growing sleeps and can miss, write after write, the short gaps a worker leaves between
// its batches. Recursive: a history write may change a setting on the same thread.
class WriteTurn {
public:
    static QRecursiveMutex &mutex()
    {
        static QRecursiveMutex turn;
        return turn;
    }
};
