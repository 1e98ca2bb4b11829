#include "inventory/TextCompare.h"

#include <gtest/gtest.h>

TEST(TextCompareTest, ContainsIgnoresCaseAndDiacritics) {
    struct Case {
        const char* text;
        const char* part;
        bool contains;
    };
    const Case cases[] = {
        {"Café Server", "cafe", true},
        {"CAFE", "café", true},
        {"Ångström helper", "angstrom", true},
        {"straße", "STRASSE", true},
        {"redis-server 6379", "6379", true},
        {"redis-server 6379", "80", false},
        {"node", "nodes", false},
        {"anything", "", true},
        {"a b", " ", true},
        {"ab", " ", false},
        {"Résumé", "resume", true},
        {"ﬁle", "file", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TextCompare::localizedStandardContains(QString::fromUtf8(c.text),
                                                         QString::fromUtf8(c.part)),
                  c.contains)
            << c.text << " / " << c.part;
    }
}
