// Feeds arbitrary bytes, XML or binary property lists, to the job definition
// parser, and runs the script lookup over what it gives.
#include <cstddef>
#include <cstdint>

#include <QByteArrayView>
#include <QString>

#include "launchd/JobScanner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto job = JobScanner::parseJob(bytes, QStringLiteral("/fuzz/job.plist"),
                                          LaunchJob::Domain::userAgent);
    if (job) {
        if (job->isParkedByQuillmarsh || job->plistPath != u"/fuzz/job.plist")
            __builtin_trap();
        (void)JobScanner::scriptPath(*job);
    }
    return 0;
}
