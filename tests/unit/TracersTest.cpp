#include "MachineFixture.h"
#include "Tracers.h"

using qvinst::Trace;
using qvinst::TraceMsg;

using TracersTest = MachineTest;

TEST_F(TracersTest, SwitchOffWritesNothing) {
  qvinst::setTraceEnabled(false);
  TraceMsg("INST98: isWin2k");
  Trace("  EU: nVidPids:%d", {80});
  EXPECT_TRUE(trace().empty());
}

TEST_F(TracersTest, LoadSetsTheSwitchAsTheBuildChose) {
  // Off as built by default; a build configured with QVINST98_TRACE=ON
  // switches it on at load.
#ifdef QVINST98_TRACE_AT_LOAD
  constexpr bool onAtLoad = true;
#else
  constexpr bool onAtLoad = false;
#endif
  qvinst::setTraceEnabled(!onAtLoad);
  qvinst::onLoad();
  EXPECT_EQ(qvinst::traceEnabled, onAtLoad);
}

TEST_F(TracersTest, EachCallWritesOneLineEndingInALineFeed) {
  TraceMsg("INST98: isWin2k");
  Trace("  EU: nVidPids:%d", {80});
  ASSERT_EQ(trace().size(), 2u);
  EXPECT_EQ(trace()[0], "INST98: isWin2k");
  EXPECT_EQ(trace()[1], "  EU: nVidPids:80");
}

TEST_F(TracersTest, DirectivesFormatAsTheLinesNeed) {
  using qvinst::formatTrace;
  EXPECT_EQ(formatTrace("  EU: nVidPids:%d", {80}), "  EU: nVidPids:80");
  EXPECT_EQ(formatTrace("count:%d", {-7}), "count:-7");
  EXPECT_EQ(formatTrace("  I98: CM_Locate_Devnode returned:%x", {13}),
            "  I98: CM_Locate_Devnode returned:D");
  EXPECT_EQ(formatTrace("r:%x", {-1}), "r:FFFFFFFF");
  EXPECT_EQ(formatTrace("r:%x", {0}), "r:0");
  EXPECT_EQ(formatTrace("r:%x", {0xABCDEF}), "r:ABCDEF");
  EXPECT_EQ(formatTrace("  EU: Doing Compare:  List:%s:  Current:%s:", {"A", "B"}),
            "  EU: Doing Compare:  List:A:  Current:B:");
  EXPECT_EQ(formatTrace("text:%s", {""}), "text:");
}

TEST_F(TracersTest, TextsAreNeverReadAsFormats) {
  // A registry value with directives in it, as an argument and as a line.
  Trace("  I98: Driver:\"%s\"", {"MEDIA\\%s%d%x%n"});
  TraceMsg("  EU: 100% %s done");
  Trace("missing:%s and %d", {});
  ASSERT_EQ(trace().size(), 3u);
  EXPECT_EQ(trace()[0], "  I98: Driver:\"MEDIA\\%s%d%x%n\"");
  EXPECT_EQ(trace()[1], "  EU: 100% %s done");
  EXPECT_EQ(trace()[2], "missing:%s and %d");
}

TEST_F(TracersTest, LongTextsAreWrittenWhole) {
  const std::string longText(1000, 'x');
  Trace("v:%s", {longText});
  ASSERT_EQ(trace().size(), 1u);
  EXPECT_EQ(trace()[0], "v:" + longText);
}
