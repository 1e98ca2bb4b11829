#pragma once

#include <QTranslator>

// The English singular forms of the count texts ("%n processes" reads
// "1 process"). The English texts in the code are their plural forms, and
// without a translation table Qt would print "1 processes"; installing this
// translator (after the application object exists, before other translators)
// gives English its singulars in both run modes. It answers only counts of
// one and leaves every other text to the next translator or the source.
class EnglishPlurals : public QTranslator {
public:
    using QTranslator::QTranslator;

    // Installs one process-wide instance into the running application, once
    // per application object; nothing without one. Main thread only.
    static void install();

    QString translate(const char* context, const char* sourceText,
                      const char* disambiguation = nullptr, int n = -1) const override;
    bool isEmpty() const override { return false; }
};
