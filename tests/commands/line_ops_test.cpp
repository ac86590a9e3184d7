// lineOp: numbered and list-driven codes, refusals and what reaches the peers.
#include "commands/command_fixture.h"

#include "commands/line_ops.h"
#include "ui/line_list.h"

namespace tc::test {
namespace {

using LineOps = CommandFixture;

// Shows rows for the given lines, in that order, and selects some of them.
void selectRows(const std::vector<int>& lines, const std::vector<bool>& selected) {
    for (int line : lines)
        rowUpdate(line);
    for (size_t r = 0; r < selected.size(); ++r)
        setLineRowSelected(static_cast<int>(r), selected[r]);
}

// The refusal texts themselves are run through the interpreter in the command tests.
TEST_F(LineOps, NumberedRefusalsUseTheFlagsInTheCodeAndChangeNothing) {
    useLine(2);
    displayDirty = 0;
    EXPECT_EQ(lineOp(lineOpCode(5, 0, LINEOP_HOLD)), 1);
    EXPECT_EQ(console.take(), "Line Not In Use\n");
    EXPECT_EQ(lineOp(lineOpCode(5, NoConsole, LINEOP_DROP)), 1);
    EXPECT_EQ(lineOp(lineOpCode(8, NoConsole, LINEOP_DROP)), 1);
    EXPECT_EQ(lineOp(lineOpCode(-1, NoConsole, LINEOP_HOLD_ALL | LINEOP_TALK)), 1);
    EXPECT_EQ(console.take(), "");
    EXPECT_EQ(displayDirty, 0);
    EXPECT_EQ(lineTable[2].ending, 0);
    EXPECT_TRUE(nothingFrom(2));
}

TEST_F(LineOps, InvPrivActivatesAllThenHoldsTheSelected) {
    useLine(1);
    useLine(4);
    useLine(6);
    selectRows({4, 1, 6}, {true, false, true});
    EXPECT_EQ(lineOp(LINEOP_TALK_ALL + LINEOP_HOLD), 0);
    EXPECT_EQ(lineTable[1].active, 1);
    EXPECT_EQ(lineTable[4].active, 0);
    EXPECT_EQ(lineTable[6].active, 0);
    EXPECT_EQ(lineOp(LINEOP_HOLD_ALL + LINEOP_TALK), 0); // PRIVATE
    EXPECT_EQ(lineTable[1].active, 0);
    EXPECT_EQ(lineTable[4].active, 1);
    EXPECT_EQ(lineTable[6].active, 1);
    EXPECT_EQ(lineOp(LINEOP_DROP), 0);
    EXPECT_EQ(lineTable[4].ending, 1);
    EXPECT_EQ(lineTable[1].ending, 0);
    EXPECT_TRUE(nothingFrom(1));
}

TEST_F(LineOps, NothingSelected) {
    useLine(0);
    EXPECT_EQ(lineOp(LINEOP_TALK), 1);
    EXPECT_EQ(console.take(), "No Line Selected\n");
    selectRows({0}, {false});
    EXPECT_EQ(lineOp(LINEOP_DROP), 1);
    EXPECT_EQ(lineTable[0].ending, 0);
    // The all-lines codes need no selection.
    EXPECT_EQ(lineOp(LINEOP_TALK_ALL), 0);
    EXPECT_EQ(lineTable[0].active, 1);
}

} // namespace
} // namespace tc::test
