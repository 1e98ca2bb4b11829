#include "launchd/CommandParsers.h"

#include <ostream>

#include <gtest/gtest.h>

using CommandParsers::LaunchctlEntry;
using CommandParsers::LaunchctlTable;
using CommandParsers::LoginItems;

// Readable failure messages for the Qt values compared below.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace CommandParsers {
inline void PrintTo(const LaunchctlEntry& entry, std::ostream* out) {
    *out << "{pid " << (entry.pid ? std::to_string(*entry.pid) : "none") << ", status "
         << (entry.lastExitStatus ? std::to_string(*entry.lastExitStatus) : "none") << "}";
}
inline void PrintTo(const LoginItems& items, std::ostream* out) {
    *out << "{appPaths [" << QStringList(items.appPaths.values()).join(u", ").toStdString()
         << "], bundleIDs [" << QStringList(items.bundleIDs.values()).join(u", ").toStdString()
         << "]}";
}
} // namespace CommandParsers

namespace {

QString text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

QSet<QString> setOf(std::initializer_list<const char*> values) {
    QSet<QString> set;
    for (const char* value : values)
        set.insert(text(value));
    return set;
}

LaunchctlEntry entry(std::optional<Pid> pid, std::optional<qint64> status) {
    return LaunchctlEntry{pid, status};
}

// ---- launchctl list ---------------------------------------------------------

TEST(LaunchctlListTest, ReadsTheDocumentedExample) {
    const LaunchctlTable table =
        CommandParsers::parseLaunchctlList(text("PID\tStatus\tLabel\n"
                                                "-\t0\tcom.example.idle\n"
                                                "412\t0\tcom.example.agent\n"
                                                "-\t-9\tcom.example.crashed\n"
                                                "733\t\tcom.example.odd\n"
                                                "17\t0\n"));
    const LaunchctlTable expected = {
        {text("com.example.idle"), entry(std::nullopt, 0)},
        {text("com.example.agent"), entry(412, 0)},
        {text("com.example.crashed"), entry(std::nullopt, -9)},
        {text("com.example.odd"), entry(733, std::nullopt)},
    };
    EXPECT_EQ(table, expected);
}

TEST(LaunchctlListTest, TheFirstLineIsAlwaysTheHeader) {
    struct Case {
        const char* output;
        LaunchctlTable expected;
    };
    const Case cases[] = {
        {"", {}},
        {"\n\n\n", {}},
        {"PID\tStatus\tLabel\n", {}},
        {"PID\tStatus\tLabel", {}},
        // A job on the first line is lost.
        {"1\t0\tcom.example.first\n", {}},
        {"1\t0\tcom.example.first\n2\t0\tcom.example.second\n",
         {{text("com.example.second"), entry(2, 0)}}},
        // Empty lines do not count, not even before the header.
        {"\n\nPID\tStatus\tLabel\n\n3\t0\tcom.example.third\n\n",
         {{text("com.example.third"), entry(3, 0)}}},
        // No final line feed.
        {"PID\tStatus\tLabel\n4\t1\tcom.example.last", {{text("com.example.last"), entry(4, 1)}}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CommandParsers::parseLaunchctlList(text(c.output)), c.expected) << c.output;
}

TEST(LaunchctlListTest, FieldsAreSplitOnTabsOnly) {
    struct Case {
        const char* line;
        std::optional<std::pair<const char*, LaunchctlEntry>> expected;
    };
    const Case cases[] = {
        {"5\t0\tcom.example.a", {{"com.example.a", entry(5, 0)}}},
        // Spaces are not separators: one field, skipped.
        {"25951   0   com.example.spaced", std::nullopt},
        {"5\t0", std::nullopt},
        {"5", std::nullopt},
        // Fields after the third are ignored.
        {"6\t0\tcom.example.extra\tmore\tfields", {{"com.example.extra", entry(6, 0)}}},
        // The label is taken unchanged, spaces and all.
        {"7\t0\t  com.example.spaced  ", {{"  com.example.spaced  ", entry(7, 0)}}},
        // An empty third field is a label too.
        {"8\t0\t", {{"", entry(8, 0)}}},
        {"\t\tcom.example.empty", {{"com.example.empty", entry(std::nullopt, std::nullopt)}}},
    };
    for (const Case& c : cases) {
        const auto table =
            CommandParsers::parseLaunchctlList(text("PID\tStatus\tLabel\n") + text(c.line));
        if (!c.expected) {
            EXPECT_TRUE(table.empty()) << c.line;
            continue;
        }
        const LaunchctlTable expected = {{text(c.expected->first), c.expected->second}};
        EXPECT_EQ(table, expected) << c.line;
    }
}

TEST(LaunchctlListTest, NumbersAreAnOptionalSignAndAsciiDigits) {
    struct Case {
        const char* field;
        std::optional<Pid> pid;
        std::optional<qint64> status;
    };
    const Case cases[] = {
        {"0", 0, 0},
        {"412", 412, 412},
        {"+5", 5, 5},
        {"-9", -9, -9},
        {"-0", 0, 0},
        {"007", 7, 7},
        {"-", std::nullopt, std::nullopt},
        {"+", std::nullopt, std::nullopt},
        {"+-1", std::nullopt, std::nullopt},
        {"--1", std::nullopt, std::nullopt},
        {" 5", std::nullopt, std::nullopt},
        {"5 ", std::nullopt, std::nullopt},
        {"5a", std::nullopt, std::nullopt},
        {"0x10", std::nullopt, std::nullopt},
        {"1e3", std::nullopt, std::nullopt},
        {"1.0", std::nullopt, std::nullopt},
        // Digits outside ASCII (fullwidth, Arabic-Indic) are not digits here.
        {"\xEF\xBC\x91\xEF\xBC\x92", std::nullopt, std::nullopt},
        {"\xD9\xA3", std::nullopt, std::nullopt},
        {"2147483647", 2147483647, 2147483647},
        {"-2147483648", -2147483647 - 1, -2147483648LL},
        {"2147483648", std::nullopt, 2147483648LL},
        {"-2147483649", std::nullopt, -2147483649LL},
        {"9223372036854775807", std::nullopt, std::numeric_limits<qint64>::max()},
        {"-9223372036854775808", std::nullopt, std::numeric_limits<qint64>::min()},
        {"9223372036854775808", std::nullopt, std::nullopt},
        {"-9223372036854775809", std::nullopt, std::nullopt},
        {"99999999999999999999999999", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        const QString output = text("PID\tStatus\tLabel\n") + text(c.field) + u'\t' +
                               text(c.field) + text("\tcom.example.n\n");
        const auto table = CommandParsers::parseLaunchctlList(output);
        ASSERT_EQ(table.size(), 1u) << c.field;
        EXPECT_EQ(table.begin()->second, entry(c.pid, c.status)) << c.field;
    }
}

TEST(LaunchctlListTest, TheLaterLineWinsForARepeatedLabel) {
    const auto table = CommandParsers::parseLaunchctlList(text("PID\tStatus\tLabel\n"
                                                               "10\t0\tcom.example.twice\n"
                                                               "-\t-15\tcom.example.other\n"
                                                               "-\t1\tcom.example.twice\n"));
    const LaunchctlTable expected = {
        {text("com.example.twice"), entry(std::nullopt, 1)},
        {text("com.example.other"), entry(std::nullopt, -15)},
    };
    EXPECT_EQ(table, expected);
}

// ---- launchctl print-disabled -------------------------------------------------

TEST(PrintDisabledTest, ReadsTheDocumentedExample) {
    const auto labels = CommandParsers::parseDisabled(text("disabled services = {\n"
                                                           "\t\"com.example.a\" => disabled\n"
                                                           "\t\"com.example.b\" => enabled\n"
                                                           "\t\"com.example.c\" => true\n"
                                                           "}\n"));
    EXPECT_EQ(labels, setOf({"com.example.a", "com.example.c"}));
}

TEST(PrintDisabledTest, LineShapes) {
    struct Case {
        const char* line;
        std::optional<const char*> label;
    };
    const Case cases[] = {
        {"\t\"com.example.a\" => disabled", "com.example.a"},
        {"\t\"com.example.a\" => true", "com.example.a"},
        {"\t\"com.example.a\" => enabled", std::nullopt},
        {"\t\"com.example.a\" => false", std::nullopt},
        // Exact, case-sensitive states.
        {"\t\"com.example.a\" => Disabled", std::nullopt},
        {"\t\"com.example.a\" => TRUE", std::nullopt},
        {"\t\"com.example.a\" => disabled.", std::nullopt},
        // Nothing (or only blanks) after the arrow.
        {"\t\"com.example.a\" =>", std::nullopt},
        {"\t\"com.example.a\" =>  \t", std::nullopt},
        // The arrow at the start gives one piece.
        {"=> disabled", std::nullopt},
        {"disabled services = {", std::nullopt},
        {"}", std::nullopt},
        // More than one arrow gives three pieces.
        {"\"a\" => \"b\" => disabled", std::nullopt},
        // Arrows back to back leave an empty piece, which is dropped.
        {"\"com.example.a\"=>=>disabled", "com.example.a"},
        // Blanks around the state are trimmed, other white space is not.
        {"\"com.example.a\" =>\t disabled \t", "com.example.a"},
        {"\"com.example.a\" => disabled\r", std::nullopt},
        // Quotes come off both ends after the trim, so inner spaces stay.
        {"\t\"  com.example.spaced  \" => disabled", "  com.example.spaced  "},
        {"\"\"com.example.a\"\" => disabled", "com.example.a"},
        {"com.example.bare => disabled", "com.example.bare"},
        {"\"com.example.\"inner\"\" => disabled", "com.example.\"inner"},
        {"\"\" => disabled", ""},
    };
    for (const Case& c : cases) {
        const auto labels = CommandParsers::parseDisabled(text(c.line));
        if (c.label)
            EXPECT_EQ(labels, setOf({*c.label})) << c.line;
        else
            EXPECT_TRUE(labels.isEmpty()) << c.line;
    }
}

TEST(PrintDisabledTest, EmptyAndUnrelatedTextGiveNothing) {
    for (const char* output : {"", "\n\n", "no services here\n", "{\n}\n"})
        EXPECT_TRUE(CommandParsers::parseDisabled(text(output)).isEmpty()) << output;
}

// ---- sfltool dumpbtm ----------------------------------------------------------

// The documented walk-through: a record of user 0 and then one of user 501.
constexpr const char* twoSections = R"(========================
 Records for UID 0 : 00000000-0000-0000-0000-000000000000
========================

 #1:
                 Type: app (0x2)
          Disposition: [enabled, allowed, visible] (0x3)
                  URL: file:///Applications/Root%20Only.app/
    Bundle Identifier: com.example.rootonly

========================
 Records for UID 501 : 4D7E1F0A-2B7C-4E8E-9B0A-5C1D2E3F4A5B
========================

 #1:
                 Type: app (0x2)
          Disposition: [enabled, allowed, visible] (0x3)
                  URL: file:///Applications/Some%20Tool.app/
    Bundle Identifier: com.example.sometool

 #2:
                 Type: daemon (0x10)
          Disposition: [enabled, allowed] (0x3)
                  URL: file:///Library/LaunchDaemons/com.example.daemon.plist
    Bundle Identifier: com.example.daemon
)";

TEST(LoginItemsTest, OnlyTheGivenUsersSectionCounts) {
    const auto items = CommandParsers::parseLoginItems(text(twoSections), 501);
    EXPECT_EQ(items, (LoginItems{setOf({"/Applications/Some Tool.app"}),
                                 setOf({"com.example.sometool"})}));

    const auto root = CommandParsers::parseLoginItems(text(twoSections), 0);
    EXPECT_EQ(root, (LoginItems{setOf({"/Applications/Root Only.app"}),
                                setOf({"com.example.rootonly"})}));

    EXPECT_EQ(CommandParsers::parseLoginItems(text(twoSections), 502), LoginItems{});
}

TEST(LoginItemsTest, SectionHeaders) {
    const char* record = "\n#1:\nType: app (0x2)\nDisposition: [enabled] (0x1)\n"
                         "Bundle Identifier: com.example.item\n";
    struct Case {
        const char* header;
        bool counts;
    };
    const Case cases[] = {
        {"Records for UID 501 : ABC", true},
        {"Records for UID 501", true},
        {"   Records for UID 501 : ABC\t", true},
        // The digits must follow the prefix directly and spell the id exactly.
        {"Records for UID 0501 : ABC", false},
        {"Records for UID +501 : ABC", false},
        {"Records for UID 5010 : ABC", false},
        {"Records for UID 50 : ABC", false},
        {"Records for UID  501 : ABC", false},
        {"Records for UID : ABC", false},
        {"Records for UID", false},
        {"records for UID 501 : ABC", false},
        {"Records for UID 501: ABC", true},
    };
    for (const Case& c : cases) {
        const auto items = CommandParsers::parseLoginItems(text(c.header) + text(record), 501);
        EXPECT_EQ(items.bundleIDs.contains(text("com.example.item")), c.counts) << c.header;
    }
    // Without any section header nothing counts, however many enabled apps.
    QString many;
    for (int i = 0; i < 5; ++i)
        many += text(record);
    EXPECT_EQ(CommandParsers::parseLoginItems(many, 501), LoginItems{});
    EXPECT_EQ(CommandParsers::parseLoginItems(many, 0), LoginItems{});
}

TEST(LoginItemsTest, AHeaderForAnotherUserEndsTheSection) {
    const auto items =
        CommandParsers::parseLoginItems(text("Records for UID 501 : A\n"
                                             "#1:\n"
                                             "Type: app (0x2)\n"
                                             "Disposition: [enabled] (0x1)\n"
                                             "Bundle Identifier: com.example.mine\n"
                                             "Records for UID 502 : B\n"
                                             "#1:\n"
                                             "Type: app (0x2)\n"
                                             "Disposition: [enabled] (0x1)\n"
                                             "Bundle Identifier: com.example.theirs\n"
                                             "Records for UID x : C\n"
                                             "#1:\n"
                                             "Type: app (0x2)\n"
                                             "Disposition: [enabled] (0x1)\n"
                                             "Bundle Identifier: com.example.none\n"),
                                        501);
    EXPECT_EQ(items.bundleIDs, setOf({"com.example.mine"}));
}

struct RecordCase {
    const char* name;
    const char* body;
    std::initializer_list<const char*> appPaths;
    std::initializer_list<const char*> bundleIDs;
};

TEST(LoginItemsTest, WhichRecordsCountAndWhatTheyGive) {
    const RecordCase cases[] = {
        {"enabled app",
         "Type: app (0x2)\nDisposition: [enabled, allowed, visible] (0x3)\n"
         "URL: file:///Applications/Some%20Tool.app/\n"
         "Bundle Identifier: com.example.sometool",
         {"/Applications/Some Tool.app"},
         {"com.example.sometool"}},
        {"login item type",
         "Type: login item (0x4)\nDisposition: [enabled] (0x1)\n"
         "URL: file:///Applications/Helper.app/\nBundle Identifier: com.ex.h",
         {"/Applications/Helper.app"},
         {"com.ex.h"}},
        {"type prefix only",
         "Type: application (0x2)\nDisposition: [enabled]\n"
         "Bundle Identifier: com.ex.prefix",
         {},
         {"com.ex.prefix"}},
        {"disabled",
         "Type: app (0x2)\nDisposition: [disabled, allowed, visible] (0x2)\n"
         "URL: file:///Applications/Off.app/\nBundle Identifier: com.ex.off",
         {},
         {}},
        {"enabled later in the list",
         "Type: app\nDisposition: [allowed, [enabled]\n"
         "Bundle Identifier: com.ex.later",
         {},
         {"com.ex.later"}},
        {"no disposition", "Type: app (0x2)\nBundle Identifier: com.ex.nodisp", {}, {}},
        {"no type", "Disposition: [enabled]\nBundle Identifier: com.ex.notype", {}, {}},
        {"other type",
         "Type: agent (0x8)\nDisposition: [enabled]\nBundle Identifier: com.ex.ag",
         {},
         {}},
        {"type case",
         "Type: App (0x2)\nDisposition: [enabled]\nBundle Identifier: com.ex.case",
         {},
         {}},
        {"bare executable",
         "Type: app (0x2)\nDisposition: [enabled]\n"
         "URL: file:///usr/local/bin/tool\nBundle Identifier: com.ex.bare",
         {},
         {"com.ex.bare"}},
        {"plain path",
         "Type: app (0x2)\nDisposition: [enabled]\n"
         "URL: /Applications/Plain.app\nBundle Identifier: com.ex.plain",
         {"/Applications/Plain.app"},
         {"com.ex.plain"}},
        {"plain path with slash",
         "Type: app\nDisposition: [enabled]\nURL: /Applications/P.app/",
         {"/Applications/P.app"},
         {}},
        {"nested app",
         "Type: login item (0x4)\nDisposition: [enabled]\n"
         "URL: file:///Applications/Outer.app/Contents/Library/LoginItems/"
         "Inner.app/\nBundle Identifier: com.ex.inner",
         {"/Applications/Outer.app"},
         {"com.ex.inner"}},
        {"app inside a path",
         "Type: app\nDisposition: [enabled]\n"
         "URL: file:///Applications/My.apps/Real.app/Contents/MacOS/real",
         {"/Applications/My.apps/Real.app"},
         {}},
        {"relative url",
         "Type: app\nDisposition: [enabled]\nURL: Applications/Rel.app/\n"
         "Bundle Identifier: com.ex.rel",
         {},
         {"com.ex.rel"}},
        {"other scheme",
         "Type: app\nDisposition: [enabled]\nURL: https://example.com/X.app/",
         {},
         {}},
        {"localhost url",
         "Type: app\nDisposition: [enabled]\n"
         "URL: file://localhost/Applications/Host.app/",
         {"/Applications/Host.app"},
         {}},
        {"escaped slash and unicode",
         "Type: app\nDisposition: [enabled]\n"
         "URL: file:///Applications/Caf%C3%A9%20Bar.app/",
         {"/Applications/Caf\xC3\xA9 Bar.app"},
         {}},
        // Not a valid URL: the text is kept as it is.
        {"unparsable url",
         "Type: app\nDisposition: [enabled]\nURL: file:///Applications/Bad%zz.app/",
         {"file:///Applications/Bad%zz.app"},
         {}},
        {"url with spaces",
         "Type: app\nDisposition: [enabled]\nURL: file:///Applications/A B.app/",
         {"file:///Applications/A B.app"},
         {}},
        // Values are trimmed, keys are not; the first colon splits.
        {"spaced key", "Type : app\nDisposition: [enabled]\nBundle Identifier: com.ex.sk", {}, {}},
        {"trimmed value",
         "Type:\t app (0x2) \t\nDisposition:[enabled]\n"
         "Bundle Identifier:   com.ex.trim  ",
         {},
         {"com.ex.trim"}},
        {"repeated key",
         "Type: daemon\nType: app\nDisposition: [enabled]\n"
         "Bundle Identifier: com.ex.first\nBundle Identifier: com.ex.second",
         {},
         {"com.ex.second"}},
        {"empty bundle id", "Type: app\nDisposition: [enabled]\nBundle Identifier:", {}, {""}},
    };
    for (const RecordCase& c : cases) {
        const QString dump = text("Records for UID 501 : X\n#1:\n") + text(c.body);
        LoginItems expected;
        for (const char* path : c.appPaths)
            expected.appPaths.insert(text(path));
        for (const char* id : c.bundleIDs)
            expected.bundleIDs.insert(text(id));
        EXPECT_EQ(CommandParsers::parseLoginItems(dump, 501), expected) << c.name;
    }
}

TEST(LoginItemsTest, RecordBoundaries) {
    // A "#n:" line starts a new record; the keys of the old one do not leak.
    const auto items = CommandParsers::parseLoginItems(text("Records for UID 7 : X\n"
                                                            "#1:\n"
                                                            "Type: app\n"
                                                            "Disposition: [enabled]\n"
                                                            "Bundle Identifier: com.ex.one\n"
                                                            "#2:\n"
                                                            "Bundle Identifier: com.ex.two\n"
                                                            "  #3:  \n"
                                                            "Type: app\n"
                                                            "Disposition: [enabled]\n"
                                                            "URL: /Applications/Three.app\n"
                                                            "# not a record\n"
                                                            "=======\n"
                                                            "\n"
                                                            "Bundle Identifier: com.ex.three\n"),
                                                       7);
    EXPECT_EQ(items, (LoginItems{setOf({"/Applications/Three.app"}),
                                 setOf({"com.ex.one", "com.ex.three"})}));
}

TEST(LoginItemsTest, EmptyAndUnrelatedText) {
    for (const char* dump : {"", "\n", "nothing: here\n", "#1:\nType: app\n"})
        EXPECT_EQ(CommandParsers::parseLoginItems(text(dump), 501), LoginItems{}) << dump;
}

// ---- stored form ----------------------------------------------------------------

TEST(LoginItemsStorageTest, EncodesAppPathsFirstThenBundleIDs) {
    const LoginItems items{setOf({"/Applications/B.app", "/Applications/A \"x\".app"}),
                           setOf({"com.example.b", "com.example.a"})};
    const QByteArray json = CommandParsers::encodeLoginItems(items);
    EXPECT_EQ(json, QByteArray(R"({"appPaths":["/Applications/A \"x\".app","/Applications/B.app"],)"
                               R"("bundleIDs":["com.example.a","com.example.b"]})"));
    EXPECT_EQ(CommandParsers::decodeLoginItems(json), items);
    EXPECT_EQ(CommandParsers::encodeLoginItems(LoginItems{}),
              QByteArray(R"({"appPaths":[],"bundleIDs":[]})"));
    EXPECT_EQ(CommandParsers::decodeLoginItems(CommandParsers::encodeLoginItems(LoginItems{})),
              LoginItems{});
}

TEST(LoginItemsStorageTest, DecodingFailsAsAWhole) {
    struct Case {
        const char* json;
        bool decodes;
    };
    const Case cases[] = {
        {R"({"appPaths":["/A.app"],"bundleIDs":["a"]})", true},
        {R"({"bundleIDs":["a"],"appPaths":["/A.app"]})", true},
        {R"({"appPaths":[],"bundleIDs":[],"extra":1})", true},
        {R"( { "appPaths" : [ ] , "bundleIDs" : [ ] } )", true},
        {R"({"appPaths":["/A.app"]})", false},
        {R"({"bundleIDs":["a"]})", false},
        {R"({})", false},
        {R"({"appPaths":null,"bundleIDs":[]})", false},
        {R"({"appPaths":"/A.app","bundleIDs":[]})", false},
        {R"({"appPaths":["/A.app",1],"bundleIDs":[]})", false},
        {R"({"appPaths":[],"bundleIDs":[null]})", false},
        {R"({"appPaths":[],"bundleIDs":[["a"]]})", false},
        {R"({"appPaths":[],"bundleIDs":{}})", false},
        {R"([[],[]])", false},
        {R"("appPaths")", false},
        {R"({"appPaths":[],"bundleIDs":[])", false},
        {"", false},
        {"\xFF\xFE", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CommandParsers::decodeLoginItems(QByteArrayView(c.json)).has_value(), c.decodes)
            << c.json;
}

TEST(LoginItemsStorageTest, DuplicatesCollapseIntoTheSets) {
    const auto items = CommandParsers::decodeLoginItems(
        QByteArrayView(R"({"appPaths":["/A.app","/A.app"],"bundleIDs":["a","a","b"]})"));
    ASSERT_TRUE(items.has_value());
    EXPECT_EQ(*items, (LoginItems{setOf({"/A.app"}), setOf({"a", "b"})}));
}

} // namespace
