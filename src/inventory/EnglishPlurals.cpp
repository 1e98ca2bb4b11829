#include "inventory/EnglishPlurals.h"

#include <array>
#include <cstring>
#include <utility>

#include <QCoreApplication>
#include <QPointer>

namespace {

// Plural source text to its singular. Contexts do not matter: a count text
// reads the same wherever it appears.
constexpr std::array<std::pair<const char*, const char*>, 10> singulars = {{
    {"%n processes", "%n process"},
    {"%n bytes", "%n byte"},
    {"%n helpers", "%n helper"},
    {"%n minutes ago", "%n minute ago"},
    {"%n hours ago", "%n hour ago"},
    {"%n days ago", "%n day ago"},
    {"%n weeks ago", "%n week ago"},
    {"%n months ago", "%n month ago"},
    {"%n years ago", "%n year ago"},
    {"Quillmarsh: %Ln background items", "Quillmarsh: %Ln background item"},
}};

} // namespace

void EnglishPlurals::install() {
    static EnglishPlurals plurals;
    static QPointer<QCoreApplication> installedIn;
    QCoreApplication* application = QCoreApplication::instance();
    if (!application || installedIn == application)
        return;
    QCoreApplication::installTranslator(&plurals);
    installedIn = application;
}

QString EnglishPlurals::translate(const char* context, const char* sourceText,
                                  const char* disambiguation, int n) const {
    (void)context;
    (void)disambiguation;
    if (n != 1 || sourceText == nullptr)
        return QString();
    for (const auto& [plural, singular] : singulars) {
        if (std::strcmp(sourceText, plural) == 0)
            return QString::fromLatin1(singular);
    }
    return QString();
}
