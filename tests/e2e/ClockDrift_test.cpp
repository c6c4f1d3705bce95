// Streams between devices whose clocks differ, on the engine's own back end: a pipe source fed
// 500 ppm fast with a click once a second by its own clock, routed to a null sink.

#include "ServerEngineFixture.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

namespace {

using namespace serverengine;

constexpr unsigned int kRate = 48000;

// A source whose clock is this writer's: module-pipe-source plays whatever arrives in its FIFO.
class FastSource {
public:
    FastSource(const std::string& folder, double ppm) : fifo_(folder + "/drift.fifo"), rate_(kRate * (1 + ppm * 1e-6)) {
        const auto loaded = testsupport::runCommand(
            "pactl load-module module-pipe-source source_name=vantrell_e2e_drift file=" + fifo_ +
            " format=float32le rate=48000 channels=1 source_properties=device.description=Drift_In");
        module_ = loaded.status == 0 ? std::stol(loaded.output) : -1;
        if (module_ >= 0) writer_ = std::thread([this] { feed(); });
    }
    ~FastSource() {
        stop_ = true;
        if (writer_.joinable()) writer_.join();
        if (module_ >= 0) testsupport::runCommand("pactl unload-module " + std::to_string(module_));
    }
    bool loaded() const { return module_ >= 0; }
    double rate() const { return rate_; }

private:
    void feed() {
        const int fd = ::open(fifo_.c_str(), O_WRONLY);
        if (fd < 0) return;
        const long clickEvery = std::lround(rate_);
        std::vector<float> chunk(480);
        const auto start = std::chrono::steady_clock::now();
        for (long frame = 0; !stop_; frame += long(chunk.size())) {
            for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = (frame + long(i)) % clickEvery < 24 ? 0.9f : 0.0f;
            if (::write(fd, chunk.data(), chunk.size() * sizeof(float)) < 0) break;
            // Paced by this machine's clock at the fast rate.
            std::this_thread::sleep_until(start + std::chrono::duration<double>((frame + 480) / rate_));
        }
        ::close(fd);
    }

    std::string fifo_;
    double rate_;
    long module_{-1};
    std::atomic<bool> stop_{false};
    std::thread writer_;
};

// Where each click starts in the left channel of a stereo recording.
std::vector<std::size_t> clickOnsets(const std::vector<float>& stereo) {
    std::vector<std::size_t> found;
    for (std::size_t frame = 0; frame < stereo.size() / 2; ++frame)
        if (stereo[2 * frame] > 0.3f && (found.empty() || frame - found.back() > kRate / 2)) found.push_back(frame);
    return found;
}

class ClockDriftTest : public ServerEngineTest {
protected:
    // A device just loaded, once the engine has heard of it.
    unsigned int announced(const std::string& direction, const std::string& name) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        unsigned int id = 0;
        while ((id = engine->deviceId(direction, name)) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(100ms);
        EXPECT_NE(id, 0u) << "no " << direction << " device " << name;
        return id;
    }
};

TEST_F(ClockDriftTest, AFastInputIsFollowedAndDevicesOnOneClockPassUntouched) {
    FastSource source(dir.path().string(), 500);
    ASSERT_TRUE(source.loaded());
    testsupport::NullSink sink("vantrell_e2e_drift_out", "Drift_Out");
    ASSERT_TRUE(sink.loaded());
    const unsigned int in = announced("input", "Drift_In"), out = announced("output", "Drift_Out");
    command("addStream " + std::to_string(in) + " " + std::to_string(out) + " 1 2 48000 1024");
    command("startStream 0");
    // Beside it, a stream whose devices share the machine's clock.
    command("addStream " + std::to_string(sine) + " " + std::to_string(main) + " 1 2 48000 1024");
    command("startStream 1");

    EXPECT_TRUE(engine->waitForStdout("Following the input's clock on ", 30s)) << engine->out();
    // Once settled (after the first ten seconds of following), clicks arrive once a second by the
    // sink's clock, not 24 samples late each second. The median gap: a busy machine may delay one.
    const auto clicks = clickOnsets(testsupport::recordMonitor(sink.sinkName(), 2, kRate, 30s));
    ASSERT_GE(clicks.size(), 25u) << "clicks lost";
    std::vector<double> gaps;
    for (std::size_t i = 1; i < clicks.size(); ++i) {
        EXPECT_NEAR(double(clicks[i] - clicks[i - 1]), kRate, kRate / 20) << "click " << i << " lost or doubled";
        if (clicks[i - 1] >= 10 * kRate) gaps.push_back(double(clicks[i] - clicks[i - 1]));
    }
    std::nth_element(gaps.begin(), gaps.begin() + std::ptrdiff_t(gaps.size() / 2), gaps.end());
    // The sink's clock is no more exact than the source's (a null sink ran 60 ppm fast here): the gap
    // is that far from 48000, the uncorrected one 500 ppm.
    EXPECT_NEAR((gaps[gaps.size() / 2] / kRate - 1) * 1e6, 0, 250) << "uncorrected, the gap is " << source.rate();

    // Said once, of the drifting stream only: the other passes its samples untouched.
    const std::string said = engine->out();
    EXPECT_EQ(engine->count("Following the input's clock on "), 1) << said;
    const auto at = said.find("Following the input's clock on ");
    const std::string line = said.substr(at, said.find('\n', at) - at);
    EXPECT_NE(line.find("Drift_In"), std::string::npos) << line;
    const auto drift = line.find("the input runs +");
    ASSERT_NE(drift, std::string::npos) << line;
    EXPECT_NEAR(std::stod(line.substr(drift + std::strlen("the input runs +"))), 500, 250) << line;
}

} // namespace
