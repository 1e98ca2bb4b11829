#include "os/UserHome.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <pwd.h>
#include <unistd.h>

#include <QByteArray>

#include "os/FileNames.h"

namespace UserHome {

namespace {

QByteArray accountHome() {
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
    passwd entry{};
    passwd* found = nullptr;
    // The buffer grows while the entry does not fit, up to a sane size.
    while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (found == nullptr || found->pw_dir == nullptr)
        return {};
    return QByteArray(found->pw_dir);
}

} // namespace

QString path() {
    const QByteArray fromEnvironment = qgetenv("HOME");
    if (!fromEnvironment.isEmpty())
        return FileNames::decode(fromEnvironment);
    return FileNames::decode(accountHome());
}

void fillEnvironment() {
    if (!qgetenv("HOME").isEmpty())
        return;
    const QByteArray home = accountHome();
    if (!home.isEmpty())
        ::setenv("HOME", home.constData(), 1);
}

} // namespace UserHome
