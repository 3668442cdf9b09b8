// The connection sequence under Wine: the emulated meter on COM6 runs at 19200, a speed the
// program must find; COM7 has no board behind it; COM8 does not exist.
#include <gtest/gtest.h>

#include "DeviceWinTestUtil.h"
#include "device/LegacyBoardUtils.h"

using devicewin::BoardControl;
using devicewin::BoardRecord;
using devicewin::NowMs;

namespace {

class DeviceWineTest : public devicewin::BoardPortTest {
  protected:
    DeviceWineTest() : BoardPortTest("com6.ctl") {}
};

TEST_F(DeviceWineTest, ConnectFindsTheMeterAtItsSpeedAndRestoresIt) {
    size_t recorded = BoardRecord("com6.rec").size();
    double start = NowMs();
    ASSERT_EQ(ConnectToTorvan("COM6", &Port), 1);
    printf("ConnectToTorvan on COM6 (19200) under Wine: %.1f ms\n", NowMs() - start);
    EXPECT_EQ(GetInitialBaudRate(), 19200u);
    EXPECT_EQ(GetSerialPortErrors(), 0u);

    ASSERT_TRUE(BoardControl("com6.ctl", "flags 3"));
    SystemStateRec state;
    memset(&state, 0, sizeof state);
    EXPECT_EQ(GetLegacyBoardStateVals(Port, &state), 1);
    EXPECT_EQ(state.StatusFlags, 3);
    NewFlowReadingsRec readings;
    readings.Count = -1;
    EXPECT_EQ(GetLegacyFlowVals(Port, &readings), 1);
    EXPECT_GE(readings.Count, 0);
    EXPECT_LE(readings.Count, MAX_FLOW_READINGS);
    EXPECT_EQ(GetSerialPortErrors(), 0u);

    DisconnectFromTorvan(Port);
    Port = nullptr;
    Sleep(100);
    std::vector<std::string> got = BoardRecord("com6.rec");
    ASSERT_GE(got.size(), recorded + 6);
    std::vector<std::string> ours(got.begin() + recorded, got.end());
    // The probe is heard at the board's own speed, and at 230400 once it took the switch.
    const std::vector<std::string> expected = {"2",     "S112=0", "S65",     "~BAUD=230400", "2",
                                               "~GLSV", "~GAFV",  "~SNLC=d", "~BAUD=19200"};
    EXPECT_EQ(ours, expected);
    BoardControl("com6.ctl", "reset");
}

TEST_F(DeviceWineTest, NoBoardOrNoPort) {
    double start = NowMs();
    EXPECT_EQ(ConnectToTorvan("COM7", &Port), 0);
    printf("ConnectToTorvan on COM7 (no board) under Wine: %.1f ms\n", NowMs() - start);
    EXPECT_EQ(Port, nullptr);
    EXPECT_EQ(GetSerialPortErrors(), 0u);

    start = NowMs();
    EXPECT_EQ(ConnectToTorvan("COM8", &Port), 0);
    printf("ConnectToTorvan on COM8 (no port) under Wine: %.1f ms\n", NowMs() - start);
    EXPECT_EQ(Port, nullptr);
}

} // namespace
