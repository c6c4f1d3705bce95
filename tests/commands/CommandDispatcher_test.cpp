// The dispatcher's answers: each command's refusals come back as Refused with the engine's reason,
// and the lock is taken by dispatch alone, never by dispatchUnderLock.

#include "commands/CommandDispatcher.hpp"
#include "engine/Core.hpp"

#include "LogCapture.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

using namespace command;

namespace {

constexpr unsigned int kNoStream = 9, kNoGroup = 42;

struct Refusal {
    const char* name;
    Command command;
    const char* reason; // what the reason must name
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class CommandDispatcherTest : public ::testing::TestWithParam<Refusal> {
protected:
    void SetUp() override {
        engine.makeCore();
        CommandPayload payload;
        ASSERT_TRUE(dispatch(core(), AddStream{engine.mic, engine.speakers, 0, 0, 48000, 256}, &payload).ok());
        ASSERT_EQ(payload.newStreamId, 0);
    }
    Core& core() { return *engine.core; }

    testsupport::LogCapture log; // keeps the refusals' lines out of the test output
    testsupport::VirtualEngine engine;
};

TEST_P(CommandDispatcherTest, RefusesWithTheEnginesReason) {
    const auto result = dispatch(core(), GetParam().command);
    EXPECT_EQ(result.status, CommandResult::Status::Refused);
    EXPECT_NE(result.reason.find(GetParam().reason), std::string::npos) << result.reason;
}

const Refusal kRefusals[] = {
    {"AddStreamBadDevice", AddStream{777, 778, 0, 0, 48000, 256}, "devices 777 and 778"},
    {"AddStreamBadRate", AddStream{129, 130, 0, 0, 12345, 256}, "12345"},
    {"AddStreamBadPeriod", AddStream{129, 130, 0, 0, 48000, 1u << 30}, "Buffer frames"},
    {"EditStreamBadStream", EditStream{kNoStream, 129, 130, 2, 2, 48000, 256, "x"}, "Stream not found"},
    {"StartStreamBadStream", StartStream{kNoStream}, "Stream not found"},
    {"StopStreamBadStream", StopStream{kNoStream}, "Stream not found"},
    {"RemoveStreamBadStream", RemoveStream{kNoStream}, "Stream not found"},
    {"AddEffectUnknown", AddEffect{0, "NoSuchEffect"}, "Effect"},
    {"AddEffectBadStream", AddEffect{kNoStream, "PanEffect"}, "Stream not found"},
    {"RemoveEffectAbsent", RemoveEffect{0, "ReverbEffect"}, "Effect not found"},
    {"RemoveEffectMandatory", RemoveEffect{0, "VolumeEffect"}, "mandatory"},
    {"SetParameterOutOfRange", SetEffectParameter{0, "VolumeEffect", "volume", 1e9f}, "volume"},
    {"SetParameterUnknownEffect", SetEffectParameter{0, "NoSuchEffect", "volume", 1}, "Effect not found"},
    {"EnableUnknownEffect", SetEffectEnable{0, "NoSuchEffect", true}, "Effect not found"},
    {"AddFilterBadStream", AddEQFilter{kNoStream, "PeakFilter"}, "Stream not found"},
    {"RemoveFilterAbsent", RemoveEQFilter{0, 99}, "EQEffect not found"},
    {"SetFilterParameterAbsent", SetEQFilterParameter{0, 99, "gain", 1}, "not found"},
    {"PrintFiltersBadStream", PrintEQFilters{kNoStream}, "Stream not found"},
    {"AddMasterEffectUnknown", AddMasterEffect{"NoSuchEffect"}, "Effect not found"},
    {"AddMasterEffectTwice", AddMasterEffect{"VolumeEffect"}, "already exists"},
    {"RemoveMasterEffectAbsent", RemoveMasterEffect{"ReverbEffect"}, "not found"},
    {"SetMasterParameterBad", SetMasterEffectParameter{"VolumeEffect", "volume", -5}, "volume"},
    {"EnableMasterEffectAbsent", SetMasterEffectEnable{"ReverbEffect", true}, "Master effect not found"},
    {"RedirectBadChannel", AddChannelRedirect{0, 99, 0}, "InputChannel not found"},
    {"RedirectBadStream", AddChannelRedirect{kNoStream, 0, 0}, "Stream not found"},
    {"RemoveRedirectAbsent", RemoveChannelRedirect{0, 99}, "ChannelRedirect not found"},
    {"PrintRedirectsBadStream", PrintChannelRedirects{kNoStream}, "Stream not found"},
    {"LinkBadStream", LinkStreams{{0, kNoStream}}, "Stream not found"},
    {"UnlinkBadStream", UnlinkStream{kNoStream}, "Stream not found"},
    {"JoinBadGroup", AddStreamToGroup{kNoGroup, 0}, "Group not found"},
    {"ColourBadGroup", SetGroupColour{kNoGroup, {1, 2, 3}}, "group not found"},
    {"LevelSyncBadGroup", SetGroupLevelSync{kNoGroup, true}, "group not found"},
    {"RatioSyncBadGroup", SetGroupRatioSync{kNoGroup, true}, "group not found"},
    {"ShareBadGroup", ShareGroupEffect{kNoGroup, "PanEffect"}, "group not found"},
    {"UnshareBadGroup", UnshareGroupEffect{kNoGroup, "PanEffect"}, "group not found"},
    {"SaveBadPath", SaveSession{"/no/such/folder/session.json"}, "/no/such/folder/session.json"},
    {"LoadBadPath", LoadSession{"/no/such/folder/session.json"}, "/no/such/folder/session.json"},
};

INSTANTIATE_TEST_SUITE_P(Commands, CommandDispatcherTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CommandDispatcherLockTest, DispatchTakesTheLockAndTheInnerEntryRunsUnderAHeldOne) {
    testsupport::LogCapture log;
    testsupport::VirtualEngine engine;
    Core& core = engine.makeCore();
    CommandPayload payload;
    {
        auto held = core.lock();
        EXPECT_TRUE(dispatchUnderLock(core, AddStream{engine.mic, engine.speakers, 0, 0, 48000, 256}, &payload).ok());
    }
    EXPECT_TRUE(dispatch(core, ListStreams{}, &payload).ok());
    ASSERT_EQ(payload.streams.size(), 1u);
    EXPECT_EQ(payload.streams[0].id, static_cast<unsigned int>(payload.newStreamId));
    // Released on the way out, refusals included: the lock can be taken again.
    EXPECT_FALSE(dispatch(core, StartStream{kNoStream}).ok());
    EXPECT_TRUE(core.lock().owns_lock());
}

} // namespace
