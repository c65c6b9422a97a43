#include <algorithm>

#include "DelKeys.h"
#include "MachineFixture.h"
#include "QVPids.h"

using namespace qvinst;

class DeviceIdTest : public MachineTest {
protected:
  void setFlags(bool pedals, bool root, bool aux) {
    matchState() = MatchState{pedals, aux, root, false};
  }
  long countLines(const std::string& prefix) const {
    return std::count_if(trace().begin(), trace().end(),
                         [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }
};

TEST_F(DeviceIdTest, TablesHoldTheProductIdentifiers) {
  EXPECT_EQ(deviceVidPids.front(), "VID_1D9F&PID_2100");
  EXPECT_EQ(deviceVidPids[10], "VID_1D9F&PID_210A");
  EXPECT_EQ(deviceVidPids.back(), "VID_1D9F&PID_214F");
  for (std::string_view pedal : pedalVidPids) {
    EXPECT_NE(std::find(deviceVidPids.begin(), deviceVidPids.end(), pedal), deviceVidPids.end())
        << pedal;
  }
  for (std::string_view aux : auxVidPids) {
    EXPECT_EQ(std::find(deviceVidPids.begin(), deviceVidPids.end(), aux), deviceVidPids.end());
  }
  for (auto table : {std::vector<std::string_view>(deviceVidPids.begin(), deviceVidPids.end()),
                     std::vector<std::string_view>(pedalVidPids.begin(), pedalVidPids.end()),
                     std::vector<std::string_view>(auxVidPids.begin(), auxVidPids.end())}) {
    for (std::string_view entry : table) {
      EXPECT_EQ(entry.size(), 17u);
      EXPECT_EQ(toUpperId(entry), entry);
    }
  }
}

TEST_F(DeviceIdTest, CheckIdPrecedenceOfTheModeFlags) {
  struct Case {
    bool pedals, root, aux;
    const char* id;
    bool expected;
  };
  const Case cases[] = {
      // No flags: the joystick-device table, by containment, any case.
      {false, false, false, "VID_1D9F&PID_2100", true},
      {false, false, false, "vid_1d9f&pid_2100", true},
      {false, false, false, "USB\\VID_1D9F&PID_2100&MI_00\\7&1", true},
      {false, false, false, "VID_1D9F&PID_21001", true},
      {false, false, false, "VID_1D9F&PID_2180", false},
      {false, false, false, "VID_045E&PID_0040", false},
      // 16 characters or fewer never match, whatever the flags.
      {false, false, false, "VID_1D9F&PID_210", false},
      {true, false, true, "ROOT\\*QV_TILLER", false},
      // Pedals narrow to the pedal table and beat root mode.
      {true, false, false, "VID_1D9F&PID_2100", false},
      {true, false, true, "VID_1D9F&PID_2100", false},
      {true, false, false, "VID_1D9F&PID_2124", true},
      {true, true, false, "ROOT\\*QV_TILLERDESK\\0000", false},
      {true, true, false, "VID_1D9F&PID_2124", true},
      // Root mode looks for the root device's ID only.
      {false, true, false, "ROOT\\*QV_TILLERDESK\\0000", true},
      {false, true, false, "x-root\\*qv_Tillerdesk\\0000-y", true},
      {false, true, false, "VID_1D9F&PID_2100", false},
      {false, true, true, "VID_1D9F&PID_2182", true},
      // Aux widens whichever test ran first.
      {false, false, true, "VID_1D9F&PID_2182", true},
      {true, false, true, "VID_1D9F&PID_2180", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    setFlags(c.pedals, c.root, c.aux);
    EXPECT_EQ(checkId(c.id), c.expected);
    EXPECT_EQ(matchState().deviceFound, c.expected);
  }
}

TEST_F(DeviceIdTest, ShortIdsTraceNothing) {
  setFlags(false, false, true);
  EXPECT_FALSE(checkId("VID_1D9F&PID_210"));
  EXPECT_TRUE(trace().empty());
}

TEST_F(DeviceIdTest, MatcherTracesOneCompareLinePerEntryUntilTheFirstMatch) {
  setFlags(false, false, true);
  EXPECT_TRUE(checkId("usb\\vid_1d9f&pid_2182"));
  // A full pass over the main table, then the auxiliary table to its match.
  EXPECT_EQ(countLines("  EU: Doing Compare:"), 80 + 3);
  ASSERT_GE(trace().size(), 3u);
  EXPECT_EQ(trace()[0], "DELKEYS: checkDeviceId:usb\\vid_1d9f&pid_2182");
  EXPECT_EQ(trace()[1], "  EU: nVidPids:79");
  EXPECT_EQ(trace()[2],
            "  EU: Doing Compare:  List:VID_1D9F&PID_2100:  Current:USB\\VID_1D9F&PID_2182:");
  EXPECT_EQ(trace()[82], "DELKEYS: checkAuxDeviceId:usb\\vid_1d9f&pid_2182");
  EXPECT_EQ(trace()[83], "  EU: nVidPids:2");
  EXPECT_EQ(trace().back(), "  EU: Found It!");

  machine.debug.clear();
  setFlags(true, false, false);
  EXPECT_FALSE(checkId("VID_1D9F&PID_2100"));
  EXPECT_EQ(countLines("  EU: Doing Compare:"), 6);
  EXPECT_EQ(trace()[1], "  EU: nVidPids:5");
  EXPECT_EQ(trace().back(),
            "  EU: Doing Compare:  List:VID_1D9F&PID_2124:  Current:VID_1D9F&PID_2100:");

  machine.debug.clear();
  setFlags(false, true, false);
  EXPECT_TRUE(checkId("Root\\*QV_TILLERDESK\\0000"));
  EXPECT_EQ(trace(), std::vector<std::string>{"  I98: Found Root ID"});
}

TEST_F(DeviceIdTest, DeviceFoundStaysSetThroughLaterMisses) {
  setFlags(false, false, false);
  EXPECT_TRUE(checkId("VID_1D9F&PID_2100"));
  EXPECT_FALSE(checkId("VID_045E&PID_0040"));
  EXPECT_TRUE(matchState().deviceFound);
}

TEST_F(DeviceIdTest, UpperCasingTouchesOnlyAsciiLetters) {
  EXPECT_EQ(toUpperId(""), "");
  EXPECT_EQ(toUpperId("aZ09&\\_{}"), "AZ09&\\_{}");
  EXPECT_EQ(toUpperId("\xe4\xf6x"), "\xe4\xf6X");
}

TEST_F(DeviceIdTest, DriverClassKeyIsAContainmentTest) {
  const std::pair<const char*, bool> cases[] = {
      {"HID\\0003", true},      {"hid\\0003", true},
      {"MEDIA\\0005", true},    {"Keyboard\\0000", true},
      {"MOUSE\\0001", true},    {"QVProducts\\0001", true},
      {"HIDClass\\0002", true}, {"xyzMEDIA\\0001", true},
      {"HIDCLASS", false},      {"", false},
      {"SYSTEM\\0004", false},  {"Image\\0000", false},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(isDriverClassKey(text), expected) << text;
  }
}

TEST_F(DeviceIdTest, OnlyRealDriverKeyPathsAreUsedForDeletion) {
  const std::pair<const char*, bool> cases[] = {
      {"MEDIA\\0005", true},
      {"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0003", true},
      {"MEDIA", false},
      {"MEDIA\\", false},
      {"\\MEDIA\\0005", false},
      {"MEDIA\\\\0005", false},
      {"", false},
      {"HID\\0003\\Sub", true},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(isDriverKeyPath(text), expected) << text;
  }
}
