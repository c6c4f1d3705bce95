// Sessions on the virtual machine: a file that cannot load, or a save that cannot complete, leaves
// the engine and the previous file as they were. The full round trip runs end to end (e2e/Sessions).

#include "effects/Effect.hpp"
#include "engine/Core.hpp"
#include "sessions/SessionsManager.hpp"
#include "utilities/Log.hpp"

#include "LogCapture.hpp"
#include "SessionDocuments.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <csignal>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>

using nlohmann::json;
using testsupport::LogCapture;
using testsupport::readFile;
constexpr auto body = &testsupport::sessionBody;

namespace {

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

class SessionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture quiet;
        engine.system->settleBufferFramesAt(4);
        core = &engine.makeCore();
        // A running stream with a non-default chain, and a stopped one on other devices.
        ASSERT_EQ(core->addStream(engine.mic, engine.speakers, 2, 2, 48000, 4), 0);
        ASSERT_EQ(core->startStream(0), 0);
        ASSERT_EQ(core->setEffectParameter(0, "VolumeEffect", "volume", 50), 0);
        ASSERT_EQ(core->addEffectToStream(0, "PanEffect"), 0);
        ASSERT_EQ(core->setEffectParameter(0, "PanEffect", "panX", 0.25f), 0);
        ASSERT_EQ(core->addEffectToStream(0, "EQEffect"), 0);
        for (int i = 0; i < 3; ++i) ASSERT_EQ(core->addEQFilterToStream(0, "PeakFilter"), 0);
        ASSERT_EQ(core->setEQFilterParameter(0, 0, "gain", 3), 0);
        ASSERT_EQ(core->setEQFilterParameter(0, 2, "gain", -4), 0);
        ASSERT_EQ(core->removeEQFilterFromStream(0, 1), 0);
        ASSERT_EQ(core->addStream(engine.studio, engine.studio, 2, 2, 96000, 0), 1);
        ASSERT_EQ(core->setEffectEnable(1, "VolumeEffect", false), 0);
        ASSERT_EQ(core->setMasterEffectParameter("VolumeEffect", "volume", 80), 0);
        ASSERT_EQ(core->addMasterEffect("EQEffect"), 0);
    }

    json save(const std::string& name) {
        LogCapture quiet;
        SessionsManager(core).saveSession(engine.dir.file(name));
        return json::parse(readFile(engine.dir.file(name)));
    }

    std::string load(const std::string& path) {
        LogCapture log;
        SessionsManager(core).loadSession(path);
        return log.take();
    }

    std::vector<float> period() {
        auto stream = core->getStreamById(0);
        return engine.runPeriod(*stream, {0.5f, -0.5f, 0.25f, -0.25f, 1, -1, 0.125f, 0});
    }

    testsupport::VirtualEngine engine;
    Core* core{};
};

TEST_F(SessionsTest, DevicesAreFoundByNameAndDuplicateIdsAreSkipped) {
    json document = save("names.json");
    document[1][0]["inputDeviceId"] = 4242;
    document[1][0]["inputParameters"]["deviceId"] = 4242;
    document[1][1]["outputDeviceName"] = "Gone";
    document[1][1]["outputDeviceId"] = engine.speakers;
    document[1][1]["outputParameters"]["deviceId"] = engine.speakers;
    document[1].push_back(document[1][0]);
    writeFile(engine.dir.file("edited.json"), document.dump());

    const std::string log = load(engine.dir.file("edited.json"));
    EXPECT_NE(log.find("Stream id 0 appears twice in the session, entry skipped"), std::string::npos) << log;
    ASSERT_EQ(core->getStreams().size(), 2u);
    EXPECT_EQ(core->getStreamById(0)->getInputParameters().deviceId, engine.mic) << "found again by its name";
    EXPECT_EQ(core->getStreamById(1)->getOutputDeviceId(), engine.speakers) << "no match: the saved id";
    EXPECT_EQ(period().size(), 8u);
}

struct BadFile {
    const char* name;
    const char* contents;  // null: no file at all
    const char* message;
};

class BadSessionFileTest : public SessionsTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadSessionFileTest, LeavesTheRunningEngineAsItWas) {
    const json before = save("before.json");
    const auto stream = core->getStreamById(0);
    const std::string path = engine.dir.file(std::string(GetParam().name) + ".json");
    if (GetParam().contents) writeFile(path, GetParam().contents);

    const std::string log = load(path);
    EXPECT_NE(log.find(std::string(GetParam().message) + path), std::string::npos) << log;
    EXPECT_EQ(log.find("Stream vector length"), std::string::npos) << "nothing was cleared";
    EXPECT_EQ(core->getStreamById(0), stream) << "the stream was not rebuilt";
    EXPECT_NE(period()[0], 0.0f) << "and it still plays";
    EXPECT_EQ(body(save("after.json")), body(before));
}

// The smallest stream entry a load accepts, with one field replaced.
std::string streamWith(const std::string& field) {
    std::string entry = R"({"streamId":0,"inputDeviceId":129,"outputDeviceId":130,"nChannelsInput":2,
        "nChannelsOutput":2,"sampleRate":48000,"bufferFrames":4,"isStarted":true,"effects":null,
        "inputParameters":{"deviceId":129,"nChannels":2,"firstChannel":0},
        "outputParameters":{"deviceId":130,"nChannels":2,"firstChannel":0},
        "options":{"flags":0,"numberOfBuffers":0,"streamName":"s","priority":0})";
    return "[{}, [" + entry + (field.empty() ? "" : "," + field) + "}], null]";
}

const std::string kMissingKey = R"([{}, [{"streamId":0}], null])";
const std::string kWrongId = streamWith(R"("streamId":"0")");
const std::string kNegativeId = streamWith(R"("streamId":-1)");
const std::string kHugeRate = streamWith(R"("sampleRate":4294967296)");
const std::string kBadEffect = streamWith(R"("effects":[{"name":"PanEffect","enable":1,"parameters":null}])");
const std::string kBadParameter =
    streamWith(R"("effects":[{"name":"PanEffect","enable":true,"parameters":{"pan":"left"}}])");
const std::string kFloatRange =
    streamWith(R"("effects":[{"name":"PanEffect","enable":true,"parameters":{"pan":1e39}}])");
const std::string kNamelessFilter = streamWith(R"("effects":[{"name":"EQEffect","enable":true,"filters":[{"id":0}]}])");
const std::string kBadGroup = R"([{}, null, null, [{"groupId":0,"color":[1,2,300],"volumeLevel":false,
    "volumeRatio":true,"effects":[],"members":[0]}]])";
const std::string kNoFilters = streamWith(R"("effects":[{"name":"EQEffect","enable":true}])");
const std::string kLongName = streamWith(R"("options":{"flags":0,"numberOfBuffers":0,"priority":0,"streamName":")" +
                                         std::string(1 << 20, 'n') + "\"}");

INSTANTIATE_TEST_SUITE_P(
    Files, BadSessionFileTest,
    ::testing::Values(BadFile{"missing", nullptr, "Could not open session file: "},
                      BadFile{"notJson", "[{}, [", "Could not parse session file: "},
                      BadFile{"nullLiteral", "null", "Could not parse session file: "},
                      BadFile{"comment", "// x\n[]", "Could not parse session file: "},
                      BadFile{"topLevelObject", R"({"streams": []})", "Could not load session file: "},
                      BadFile{"topLevelNumber", "7", "Could not load session file: "},
                      BadFile{"streamsNotArray", R"([{}, {"a": 1}])", "Could not load session file: "},
                      BadFile{"missingKey", kMissingKey.c_str(), "Could not load session file: "},
                      BadFile{"idAsString", kWrongId.c_str(), "Could not load session file: "},
                      BadFile{"negativeId", kNegativeId.c_str(), "Could not load session file: "},
                      BadFile{"rateTooLarge", kHugeRate.c_str(), "Could not load session file: "},
                      BadFile{"enableNotBool", kBadEffect.c_str(), "Could not load session file: "},
                      BadFile{"parameterNotNumber", kBadParameter.c_str(), "Could not load session file: "},
                      BadFile{"parameterBeyondFloat", kFloatRange.c_str(), "Could not load session file: "},
                      BadFile{"filterWithoutName", kNamelessFilter.c_str(), "Could not load session file: "},
                      BadFile{"equalizerWithoutFilters", kNoFilters.c_str(), "Could not load session file: "},
                      BadFile{"masterNotArray", R"([{}, null, {"name": "VolumeEffect"}])",
                              "Could not load session file: "},
                      BadFile{"groupColourBeyondAByte", kBadGroup.c_str(), "Could not load session file: "},
                      BadFile{"streamNameOfAMegabyte", kLongName.c_str(), "Could not load session file: "},
                      // Not the shape a save writes: none may pass for an empty session.
                      BadFile{"nestedArrays", "[[[]]]", "Could not load session file: "},
                      BadFile{"emptyArray", "[]", "Could not load session file: "},
                      BadFile{"headerOnly", "[{}]", "Could not load session file: "},
                      BadFile{"noMasterChain", "[{}, null]", "Could not load session file: "},
                      BadFile{"headerNotObject", "[[], null, null]", "Could not load session file: "},
                      BadFile{"fiveElements", "[{}, null, null, null, null]", "Could not load session file: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionsTest, GroupsComeBackWithTheirSettingsAndMembers) {
    {
        LogCapture quiet;
        ASSERT_EQ(core->addStream(engine.mic, engine.speakers, 2, 2, 48000, 4), 2);
        ASSERT_EQ(core->linkStreams({1}), 0);
        ASSERT_EQ(core->linkStreams({0, 2}), 0);
        core->setStreamsGroupColor(1, {10, 20, 30});
        core->setStreamGroupVolumeRatioSync(1, true);
        core->addEffectToStreamGroupSync(1, "PanEffect");
    }
    const json saved = save("groups.json");
    ASSERT_EQ(saved.size(), 4u);
    EXPECT_EQ(saved[3][1]["members"], json::array({0, 2}));
    {
        LogCapture quiet;
        SessionsManager(core).clearCurrentSession();
    }
    EXPECT_TRUE(core->getStreamGroupSyncs().empty());
    load(engine.dir.file("groups.json"));
    const auto groups = core->getStreamGroupSyncs();
    const auto found = std::ranges::find(groups, 1u, &StreamGroupSync::getGroupId);
    ASSERT_NE(found, groups.end());
    const auto& group = *found;
    EXPECT_EQ(group->getColor(), (GroupColor{10, 20, 30}));
    EXPECT_TRUE(group->getVolumeRatio());
    EXPECT_EQ(group->getEffects(), std::vector<std::string>{"PanEffect"});
    EXPECT_EQ(core->getStreamById(2)->getGroupID(), 1);
    EXPECT_EQ(core->getStreamById(1)->getGroupID(), 0);
    EXPECT_EQ(save("again.json")[3], saved[3]);
}

TEST_F(SessionsTest, ShortAndEmptyDocumentsLoadAsEmpty) {
    for (const std::string contents : {"[{}, null, null]", "[{}, [], [], []]"}) {
        writeFile(engine.dir.file("empty.json"), contents);
        load(engine.dir.file("empty.json"));
        EXPECT_TRUE(core->getStreams().empty()) << contents;
        ASSERT_EQ(core->getMasterEffects().size(), 1u);
        EXPECT_EQ(core->getMasterEffects()[0]->getName(), "VolumeEffect");
    }
    EXPECT_EQ(readFile(engine.dir.file("none.json")).size(), 0u);
    save("none.json");
    EXPECT_EQ(readFile(engine.dir.file("none.json")).substr(0, 1), "[");
    EXPECT_NE(readFile(engine.dir.file("none.json")).back(), '\n');
    EXPECT_TRUE(save("none.json")[1].is_null());
}

// Files saved earlier and other tools read these keys: a save writes each of them, with its type.
TEST_F(SessionsTest, ASavedStreamCarriesEveryKeyOfTheLayout) {
    const json stream = save("layout.json")[1][0];
    std::vector<std::string> keys;
    for (const auto& item : stream.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"bufferFrames", "effects", "inputDeviceId", "inputDeviceName",
                                              "inputParameters", "isStarted", "nChannelsInput", "nChannelsOutput",
                                              "options", "outputDeviceId", "outputDeviceName", "outputParameters",
                                              "sampleRate", "streamId"}));
    EXPECT_EQ(stream["inputParameters"], json::parse(R"({"deviceId":)" + std::to_string(engine.mic) +
                                                     R"(,"nChannels":2,"firstChannel":0})"));
    EXPECT_EQ(stream["options"].size(), 4u);
    EXPECT_TRUE(stream["isStarted"].is_boolean() && stream["sampleRate"].is_number_unsigned());
    EXPECT_EQ(stream["effects"][0], json::parse(R"({"name":"VolumeEffect","enable":true,"parameters":{"volume":50.0}})"));
}

// Names that are not UTF-8 (a client's stream name, the file's own) are saved, not fatal.
TEST_F(SessionsTest, NamesThatAreNotUtf8AreSavedReplaced) {
    auto options = core->getStreamById(0)->getOptions();
    options.streamName = "mic \xc5\xc5";
    core->getStreamById(0)->setOptions(options);
    const json saved = save("odd \xff.json");
    EXPECT_EQ(saved[1][0]["options"]["streamName"], "mic \xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(saved[0]["sessionName"], engine.dir.file("odd \xef\xbf\xbd.json"));
}

// A stream saved as running whose device is absent at the load starts when the device returns, also
// when it was saved again while halted by the loss or while it waited: saved as running, by name.
TEST_F(SessionsTest, AStreamWhoseDeviceIsAbsentAtTheLoadStartsWhenItReturns) {
    const std::string speakers = core->getStreamById(0)->getOutputDeviceName();
    save("running.json");
    engine.system->unplug(engine.speakers);
    core->deviceEvents().drain();
    const json halted = save("halted.json");
    load(engine.dir.file("running.json"));
    const json waiting = save("waiting.json");
    for (const json& saved : {halted, waiting}) {
        EXPECT_EQ(saved[1][0]["isStarted"], true);
        EXPECT_EQ(saved[1][0]["outputDeviceName"], speakers);
    }
    load(engine.dir.file("waiting.json"));
    ASSERT_TRUE(core->getStreamById(0));
    ASSERT_FALSE(core->getStreamById(0)->isStarted());

    LogCapture log;
    engine.system->plugIn(engine.speakers);
    core->deviceEvents().post(); // as the server announces a new device
    core->deviceEvents().drain();
    EXPECT_TRUE(core->getStreamById(0)->isStarted()) << log.take();
    EXPECT_FALSE(core->getStreamById(1)->isStarted()) << "saved as stopped";
    EXPECT_NE(period()[0], 0.0f);
}

// A file past the bound is refused before it is read; one at the bound loads.
TEST_F(SessionsTest, ASessionFileBeyondTheBoundIsRefused) {
    json document = save("whole.json");
    document[1].erase(1);
    std::string text = document.dump();
    for (const std::size_t size : {SessionsManager::kMaxSessionBytes + 1, SessionsManager::kMaxSessionBytes}) {
        text.resize(size, ' ');
        writeFile(engine.dir.file("padded.json"), text);
        const std::string log = load(engine.dir.file("padded.json"));
        EXPECT_EQ(core->getStreams().size(), size > SessionsManager::kMaxSessionBytes ? 2u : 1u) << log;
    }
}

// Only a regular file is read: a directory would throw from the read, a FIFO would block the engine.
TEST_F(SessionsTest, PathsThatAreNotRegularFilesAreRefusedAndChangeNothing) {
    const std::string fifo = engine.dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {engine.dir.path().string(), fifo}) {
        EXPECT_NE(load(path).find("Could not open session file: " + path), std::string::npos) << path;
        EXPECT_EQ(core->getStreams().size(), 2u) << path;
    }
}

// A save writes only where a regular file is or nothing is. A link is followed to the regular file
// it names, which is replaced while the link stays; anything else is refused with one line.
TEST_F(SessionsTest, SavesReplaceOnlyRegularFilesAndFollowLinksToThem) {
    const std::string fifo = engine.dir.file("pipe"), file = engine.dir.file("real.json"),
                      link = engine.dir.file("link.json"), dangling = engine.dir.file("dangling.json");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(file) << "old";
    ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
    ASSERT_EQ(::symlink(engine.dir.file("nowhere").c_str(), dangling.c_str()), 0);
    LogCapture log;
    SessionsManager(core).saveSession(fifo);
    SessionsManager(core).saveSession(dangling);
    SessionsManager(core).saveSession(link);
    SessionsManager(core).saveSession(engine.dir.file(std::string(PATH_MAX, 'p')));
    log.take();
    EXPECT_TRUE(log.contains("Could not create session file: " + fifo + " (it is not a regular file)")) << log.take();
    EXPECT_TRUE(log.contains("Could not create session file: " + dangling + " (it is a symbolic link to nothing)"));
    EXPECT_EQ(log.count("Session path refused: "), 1);
    struct stat info {};
    ASSERT_EQ(::lstat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_NE(::lstat(engine.dir.file("nowhere").c_str(), &info), 0) << "nothing created behind a dangling link";
    ASSERT_EQ(::lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(json::parse(readFile(file))[1].size(), 2u) << "the file the link names holds the session";
}

// A save that cannot complete keeps the previous file byte for byte and leaves no temporary file.
TEST_F(SessionsTest, AFailedSaveKeepsThePreviousFile) {
    save("kept.json");
    const std::string previous = readFile(engine.dir.file("kept.json"));
    ASSERT_GT(previous.size(), 200u);
    core->addEffectToStream(1, "ReverbEffect");

    // A full disk: the temporary file cannot grow past 100 bytes (root is bound by this limit too).
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &original), 0);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = original;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    {
        // Kept in memory: a captured log would be a file under the same limit.
        Utilities::FirstErrorScope failure;
        SessionsManager(core).saveSession(engine.dir.file("kept.json"));
        setrlimit(RLIMIT_FSIZE, &original);
        std::signal(SIGXFSZ, previousHandler);
        // The system's reason, as it words it.
        EXPECT_EQ(failure.message(),
                  "Could not create session file: " + engine.dir.file("kept.json") + " (" + std::strerror(EFBIG) + ")");
    }
    EXPECT_EQ(readFile(engine.dir.file("kept.json")), previous);

    LogCapture log;
    SessionsManager(core).saveSession(engine.dir.path().string());  // the target is a directory
    SessionsManager(core).saveSession(engine.dir.file("missing/x.json"));
    EXPECT_EQ(log.count("Could not create session file: "), 2) << log.take();
    EXPECT_TRUE(log.contains(engine.dir.file("missing/x.json") + " (" + std::strerror(ENOENT) + ")"));
    EXPECT_EQ(readFile(engine.dir.file("kept.json")), previous);
    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(engine.dir.path()))
        entries += entry.path().filename().string().rfind(".kept.json", 0) == 0 || entry.is_directory();
    EXPECT_EQ(entries, 0u) << "no temporary file is left behind";
}

}  // namespace
