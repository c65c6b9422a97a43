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

// The tables' shape: the family's 80 IDs 2100 to 214F in order, the pedals
// among them, the auxiliary devices outside; 17 upper-case characters each.
TEST_F(DeviceIdTest, TablesHoldTheProductIdentifiers) {
  auto id = [](unsigned product) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text = "VID_1D9F&PID_";
    for (int shift = 12; shift >= 0; shift -= 4) text += digits[(product >> shift) & 0xF];
    return text;
  };
  for (std::size_t i = 0; i < deviceVidPids.size(); ++i)
    EXPECT_EQ(deviceVidPids[i], id(0x2100 + static_cast<unsigned>(i)));
  const auto inDevices = [](std::string_view entry) {
    return std::find(deviceVidPids.begin(), deviceVidPids.end(), entry) != deviceVidPids.end();
  };
  for (std::string_view pedal : pedalVidPids) EXPECT_TRUE(inDevices(pedal)) << pedal;
  for (std::string_view aux : auxVidPids) {
    EXPECT_FALSE(inDevices(aux)) << aux;
    EXPECT_EQ(aux.size(), 17u);
    EXPECT_EQ(toUpperId(aux), aux);
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

// isDriverClassKey is a containment test; isDriverKeyPath, the guard of every
// key name derived from a "Driver" value, passes only a text that names one
// key below a class once Windows has normalised it.
TEST_F(DeviceIdTest, DriverReferences) {
  struct Case {
    std::string text;
    bool classKey;
    bool keyPath;
  };
  const Case cases[] = {
      {"HID\\0003", true, true},
      {"hid\\0003", true, true},
      {"MEDIA\\0005", true, true},
      {"Keyboard\\0000", true, true},
      {"MOUSE\\0001", true, true},
      {"QVProducts\\0001", true, true},
      {"HIDClass\\0002", true, true},
      {"xyzMEDIA\\0001", true, true},
      {"HID\\0003\\Sub", true, true},
      {"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0003", false, true},
      {"HIDCLASS", false, false},
      {"", false, false},
      {"SYSTEM\\0004", false, true},
      {"Image\\0000", false, true},
      // A whole class, a key from the root, empty components.
      {"MEDIA", false, false},
      {"MEDIA\\", true, false},
      {"\\MEDIA\\0005", true, false},
      {"MEDIA\\\\0005", true, false},
      // What Windows normalises into another key.
      {"MEDIA\\0004\\", true, false},
      {"MEDIA\\0004\\\\", true, false},
      {"MEDIA\\0004\\..", true, false},
      {"MEDIA\\0004\\.", true, false},
      {"MEDIA\\.\\0004", true, false},
      {"MEDIA\\0004 ", true, false},
      {"MEDIA\\0004.", true, false},
      {"HID\\0003 \\x", true, false},
      {"MEDIA\\0.04", true, true},
      {"MEDIA\\ 0004", true, true},
      // 255 characters fit a short string; 256 would be cut.
      {"MEDIA\\" + std::string(249, '0'), true, true},
      {"MEDIA\\" + std::string(250, '0'), true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(isDriverClassKey(c.text), c.classKey);
    EXPECT_EQ(isDriverKeyPath(c.text), c.keyPath);
  }
}
