// The in-place search of the agent recogniser: the same answers as searching
// the joined, lowercased text, at the edges of each piece.

#include <optional>

#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include "inventory/Origin.h"
#include "support/InventorySamples.h"

using namespace InventorySamples;
using namespace Qt::StringLiterals;

namespace {

std::optional<QString> toolOf(const QString& path, QStringList arguments) {
    return Origins::agentTool(process(7, 1, path, std::move(arguments)));
}

TEST(AgentToolSearchTest, FindsNeedlesAtTheEdgesOfEachPiece) {
    EXPECT_EQ(toolOf(u"claude-code"_s, {u"x"_s}), u"Claude"_s);               // the whole piece
    EXPECT_EQ(toolOf(u"/opt/claude-code"_s, {u"x"_s}), u"Claude"_s);          // at its end
    EXPECT_EQ(toolOf(u"/opt/x"_s, {u"x"_s, u"@OPENAI/CODEX"_s}), u"Codex"_s); // any case
    EXPECT_EQ(toolOf(u"/opt/x"_s, {u"x"_s, u"/a/Claude/Versions/2.1"_s}), u"Claude"_s);
    EXPECT_EQ(toolOf(u"/opt/x"_s, {u"x"_s, u"claude-cod"_s}), std::nullopt); // one short
    EXPECT_EQ(toolOf(u"/opt/x-claude"_s, {u"-code"_s}), std::nullopt);       // never across pieces
    EXPECT_EQ(toolOf(u"/opt/x"_s, {u"\u00C7laude-code"_s}), std::nullopt);   // not an ASCII C
    EXPECT_EQ(toolOf(u"/opt/\u00E9/claude-code"_s, {}), u"Claude"_s);        // after other letters
}

} // namespace
