#pragma once

#include <QtGlobal>

// Where the server reads the time. Code validity and the resend interval are measured with it,
// so tests can move time forward instead of waiting for minutes.
class ServerClock {
public:
    virtual ~ServerClock() = default;
    // Milliseconds since the Unix epoch.
    virtual qint64 nowMs() const;
};
