#include "inventory/TextCompare.h"

#include <QLocale>

namespace TextCompare {

QString fold(const QString& text) {
    const QString decomposed = text.normalized(QString::NormalizationForm_KD);
    QString folded;
    folded.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        const QChar::Category category = c.category();
        if (category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
            category == QChar::Mark_Enclosing)
            continue;
        folded.append(c);
    }
    // QString folds case one character for one, which leaves the sharp s
    // alone; full folding turns it into "ss", as people type it.
    return folded.toCaseFolded().replace(QChar(0x00DF), QStringLiteral("ss"));
}

QCollator standardCollator() {
    // The "C" locale compares code units only; a process started without a
    // language setting still gets the ordering a person expects.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(true);
    return collator;
}

bool localizedStandardContains(const QString& text, const QString& part) {
    if (part.isEmpty())
        return true;
    return fold(text).contains(fold(part));
}

} // namespace TextCompare
