#pragma once

#include <cstdio>
#include <optional>

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include "inventory/BackgroundItem.h"
#include "launchd/JobScanner.h"
#include "launchd/LaunchctlState.h"
#include "launchd/SystemTools.h"
#include "os/HostRules.h"
#include "os/ProcSnapshot.h"
#include "sampling/SessionReads.h"

class QSettings;

// Report mode: one inventory sample written to standard output as a JSON
// document, for scripts and coding agents.
namespace JsonReport {

// The settings key (in SettingsStore) of the login items window mode stores
// after each successful login-items check.
inline constexpr const char* loginItemsKey = "loginItems";

// Everything outside the program that the pass reads; the defaults are the real
// ones.
struct Sources {
    SystemTools::Locations tools = SystemTools::Locations::standard();
    JobScanner::JobFolders folders = JobScanner::JobFolders::standard();
    Uid uid = 0;
    Pid ownPid = 0;
    // Where it has no launchd, no launchd tool is run and no job folder read.
    HostRules host = Hosts::current();
    // Where it has none, the session's units and autostart entries instead.
    SessionReads::Sources session;

    // The real tools and folders, this process's user and pid.
    static Sources standard();
};

// The report's time form: ISO 8601 in UTC with whole seconds, as in
// 2026-01-31T08:05:09Z. Fractions of a second are dropped, not rounded.
QString dateText(Timestamp time);

// The "autoStart" value: false for a parked job or one that launchd has
// disabled, otherwise whether the item comes back by itself.
bool autoStart(const BackgroundItem& item);

// A status pair as one text: "Failed (exit 78)", "Waiting ()".
QString statusText(const StatusLine& line);

// The document for `inventory` as UTF-8 bytes: keys sorted by code point,
// two-space indentation, "/" unescaped, text that is not valid UTF-8 replaced
// by U+FFFD, and exactly one line feed at the end. `uid` is the current user's
// id (it decides "canStop"). None when the document cannot be produced.
std::optional<QByteArray> render(const Inventory& inventory, Uid uid);

// The login items window mode stored in `settings`; empty sets when the key is
// missing or its value does not decode.
CommandParsers::LoginItems storedLoginItems(const QSettings& settings);

// One sampling pass with empty caches, as the report takes it.
Inventory sample(bool includeAll, const Sources& sources,
                 const CommandParsers::LoginItems& loginItems);

// Writes all of `bytes` to `stream` and flushes it. Returns a one-line
// description of the failure (closed pipe, full disk) or none on success.
std::optional<QString> writeAll(std::FILE* stream, QByteArrayView bytes);

// The whole report mode: reads the stored login items, samples, renders and
// writes to standard output. Each launchd source that could not be read gives
// one warning line on standard error (none where the system has no launchd);
// the document is written all the same.
// Returns the exit status: 0 when the document was written, 1 after one line
// on standard error when it could not be produced or written.
int printJSONReport(bool includeAll);

} // namespace JsonReport
