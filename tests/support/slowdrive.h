#pragma once
// A slow drive, played where a drive is slow: every open and listing of a folder by the
// search window's walk takes longer, on the thread that makes it. For the time it lives.

#include <QThread>
#include <string_view>

#include "suche.h"

namespace fotarik::test {

class SlowDrive
{
public:
    explicit SlowDrive(unsigned long microseconds)
    {
        Suche::setWalkCallHookForTests([microseconds](std::string_view) { QThread::usleep(microseconds); });
    }
    ~SlowDrive() { Suche::setWalkCallHookForTests({}); }
    SlowDrive(const SlowDrive&) = delete;
    SlowDrive& operator=(const SlowDrive&) = delete;
};

} // namespace fotarik::test
