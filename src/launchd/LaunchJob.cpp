#include "launchd/LaunchJob.h"

namespace {

struct DomainName {
    LaunchJob::Domain domain;
    const char16_t* text;
};

constexpr DomainName domainNames[] = {
    {LaunchJob::Domain::userAgent, u"User agent"},
    {LaunchJob::Domain::globalAgent, u"Global agent"},
    {LaunchJob::Domain::globalDaemon, u"System daemon"},
};

} // namespace

QString domainText(LaunchJob::Domain domain) {
    for (const DomainName& name : domainNames) {
        if (name.domain == domain)
            return QString::fromUtf16(name.text);
    }
    return {};
}

std::optional<LaunchJob::Domain> domainFromText(const QString& text) {
    for (const DomainName& name : domainNames) {
        if (text == QStringView(name.text))
            return name.domain;
    }
    return std::nullopt;
}
