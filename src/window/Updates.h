#pragma once

#include <chrono>
#include <optional>

#include <QByteArrayView>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

// Asking the maker's web site whether a newer version exists. Nothing is
// downloaded or installed; the answer is one line and maybe an address.
namespace Updates {

// The manifest: the newest released version and where to get it.
struct Latest {
    QString version;
    QUrl url;

    bool operator==(const Latest&) const = default;
};

struct Answer {
    QString message;
    std::optional<QUrl> download;

    bool operator==(const Answer&) const = default;
};

// Where the manifest lives.
inline constexpr char manifestAddress[] = "https://quillmarsh.halvek.com/quillmarsh/latest.json";
// A manifest is a few dozen bytes; a larger body is not one.
inline constexpr qint64 maxManifestBytes = 64 * 1024;
inline constexpr std::chrono::seconds requestTimeout{60};

// This build's version, from the project.
QString currentVersion();

// Decodes a manifest body: an object with "version" (a string) and "url" (a
// string holding a valid https address; other keys are ignored). None when
// the body is not such an object or is larger than maxManifestBytes.
std::optional<Latest> parseLatest(QByteArrayView body);

// Compares version strings with runs of digits taken by their numeric value
// (1.10 is newer than 1.9): negative, zero or positive.
int compareVersions(const QString& left, const QString& right);

// The user's answer for a decoded manifest, or for none (a failed check).
Answer answer(const std::optional<Latest>& latest, const QString& current);

// Fetches the manifest (bypassing every cache, timing out after 60 s) and
// answers. Never fails: every failure is the "Could not check" answer.
QCoro::Task<Answer> check(QString current,
                          QUrl manifest = QUrl(QString::fromLatin1(manifestAddress)),
                          std::chrono::milliseconds timeout = requestTimeout);

} // namespace Updates
