// CRestartPause: the growing pause between failed runs of the service under its systemd unit.
//
// The unit restarts the service after every end it did not choose, for as long as it takes (an
// outage may last days), with systemd's own pause of kUnitPause seconds before each start. A run
// that fails again soon should not be started as often as the first: the pause doubles with each
// failed run in a row, up to kLongest. A run that lasted kLongRun or more, and a start by hand,
// begin the count again. systemd 252 cannot grow the pause itself, so the service, when systemd
// restarted it automatically, waits the rest before it does anything else.
//
// Which start is automatic comes from the unit's restart counter (NRestarts, over the system bus):
// systemd raises it only for its own restarts. The store keeps the counter seen at the last
// start, the failed runs in a row and when the last run began (the boot-time clock, which goes on
// through a suspend), so a run that crashed leaves all the service needs.
#pragma once

#include <string>

class ISvrInfoCenter;

class CRestartPause {
public:
    static constexpr unsigned kUnitPause = 20;  // the unit's RestartSec=
    static constexpr unsigned kLongest = 300;
    static constexpr long long kLongRun = 600;
    // The store key of the record.
    static constexpr const char* kStoreKey = "restartPause";

    struct Record {
        unsigned restarts = 0;    // the unit's restart counter at this start
        unsigned failedRuns = 0;  // failed runs right before this one
        long long startedAt = 0;  // boot-time seconds when this run began (after its pause)
    };

    // The whole pause before the start that follows failedRuns failed runs in a row: none after
    // none (a start by hand), then kUnitPause, doubling, at most kLongest.
    static unsigned PauseSeconds(unsigned failedRuns);
    // The part of that pause the service waits itself, on top of systemd's kUnitPause.
    static unsigned ExtraSeconds(unsigned failedRuns);
    // The record of the start made now (boot-time seconds) with the unit's counter at restarts:
    // a counter no higher than the last one's is a start by hand or after a reboot; otherwise the
    // last run failed, and counts as the first of a new series when it lasted kLongRun or more.
    static Record Next(const Record& last, unsigned restarts, long long now);

    static std::string Format(const Record& record);
    // False (record untouched) for text that is not three numbers.
    static bool Parse(const std::string& text, Record& record);

    // Under a systemd service unit: the unit's restart counter. False anywhere else.
    static bool UnitRestarts(unsigned& restarts);
    // Waits seconds, or until SIGTERM, SIGINT or SIGHUP comes; false when a signal ended it.
    // Only before any other thread exists (it blocks the signals while it waits).
    static bool Wait(unsigned seconds);

    // Under a unit: records this start in store and waits its extra pause (a line in the log
    // says how long and why). False when a stop signal came during the pause.
    static bool Run(ISvrInfoCenter* store);
};
