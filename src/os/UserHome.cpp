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

// Calls `use` with the account entry of `uid`, or with null when there is none.
template <typename Use> auto withAccount(uid_t uid, Use use) {
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
    passwd entry{};
    passwd* found = nullptr;
    // The buffer grows while the entry does not fit, up to a sane size.
    while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    return use(static_cast<const passwd*>(found));
}

QByteArray accountHome() {
    return withAccount(::getuid(), [](const passwd* found) {
        if (found == nullptr || found->pw_dir == nullptr)
            return QByteArray();
        return QByteArray(found->pw_dir);
    });
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

QString accountName(Uid uid) {
    const QByteArray name = withAccount(uid, [](const passwd* found) {
        if (found == nullptr || found->pw_name == nullptr)
            return QByteArray();
        return QByteArray(found->pw_name);
    });
    return name.isEmpty() ? QString::number(uid) : FileNames::decode(name);
}

} // namespace UserHome
