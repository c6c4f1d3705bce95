// Devices, streams and sample rates.

#include "ctl/Commands.hpp"
#include "ctl/Failure.hpp"
#include "ctl/Output.hpp"
#include "ipc/Packet.hpp"

#include <algorithm>
#include <iostream>
#include <map>

namespace Ctl {

namespace {

Json deviceJson(const std::vector<DeviceEntry>& devices) {
    Json list = Json::array();
    for (const auto& d : devices) list.push_back({{"id", d.id}, {"name", d.name}, {"channels", d.channels}});
    return list;
}

int listDevices(const Invocation& call) {
    EngineSession engine;
    const auto inputs = engine.client.devices(EPacketType::DeviceInputs);
    const auto outputs = engine.client.devices(EPacketType::DeviceOutputs);
    if (call.json) {
        printJson({{"inputs", deviceJson(inputs)}, {"outputs", deviceJson(outputs)}});
        return kOk;
    }
    std::vector<Row> rows;
    for (const auto& d : inputs) rows.push_back({"input", std::to_string(d.id), std::to_string(d.channels), d.name});
    for (const auto& d : outputs) rows.push_back({"output", std::to_string(d.id), std::to_string(d.channels), d.name});
    printTable({"DIRECTION", "ID", "CHANNELS", "NAME"}, rows);
    return kOk;
}

void printStreams(EngineSession& engine, const std::vector<StreamEntry>& streams, bool json) {
    // The list carries device ids only; the device lists give their names.
    std::map<int, std::string> inputs, outputs;
    for (const auto& d : engine.client.devices(EPacketType::DeviceInputs)) inputs[d.id] = d.name;
    for (const auto& d : engine.client.devices(EPacketType::DeviceOutputs)) outputs[d.id] = d.name;
    if (json) {
        Json list = Json::array();
        for (const auto& s : streams)
            list.push_back({{"id", s.id}, {"inputId", s.inputDevice}, {"input", inputs[s.inputDevice]},
                            {"outputId", s.outputDevice}, {"output", outputs[s.outputDevice]},
                            {"sampleRate", s.sampleRate}, {"bufferFrames", s.bufferFrames},
                            {"volume", s.volume}, {"name", s.name}});
        printJson(list);
        return;
    }
    std::vector<Row> rows;
    for (const auto& s : streams)
        rows.push_back({std::to_string(s.id), std::to_string(s.inputDevice) + " " + inputs[s.inputDevice],
                        std::to_string(s.outputDevice) + " " + outputs[s.outputDevice], std::to_string(s.sampleRate),
                        std::to_string(s.bufferFrames), fixed(s.volume), s.name});
    printTable({"ID", "INPUT", "OUTPUT", "RATE", "FRAMES", "VOLUME", "NAME"}, rows);
}

int listStreams(const Invocation& call) {
    EngineSession engine;
    printStreams(engine, engine.client.streams(), call.json);
    return kOk;
}

int addStream(const Invocation& call) {
    int fields[6] = {0, 0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < call.args.size(); ++i) {
        fields[i] = integerArgument(call, i);
        if (fields[i] < 0) usageFailure(call.command, "values are 0 (default) or more: '" + call.args[i] + "'");
    }
    EngineSession engine;
    const auto before = engine.client.streams();
    const auto answers = engine.client.command(
        EPacketType::AddStream,
        IPC::Packet<int, int, int, int, int, int>::serialize(fields[0], fields[1], fields[2], fields[3], fields[4],
                                                             fields[5]),
        "the engine refused the stream");
    // The new stream is the one the list that answers has and the list before had not.
    for (const auto& stream : EngineClient::streamsAmong(answers)) {
        const bool old = std::any_of(before.begin(), before.end(), [&](const StreamEntry& s) { return s.id == stream.id; });
        if (old) continue;
        if (call.json)
            printJson({{"id", stream.id}});
        else
            std::cout << "Added stream " << stream.id << "\n";
        return kOk;
    }
    throw Failure(kNoReply, "the engine added a stream but its list did not show it");
}

int startStream(const Invocation& call) {
    const int id = integerArgument(call, 0);
    EngineSession engine;
    engine.client.requireStream(id);
    // Answered once the stream runs, or with the reason it does not.
    engine.client.command(EPacketType::StartStream, IPC::Packet<int>::serialize(id),
                          "stream " + std::to_string(id) + " did not start");
    std::cout << "Started stream " << id << "\n";
    return kOk;
}

int editStream(const Invocation& call) {
    const int id = integerArgument(call, 0);
    int fields[6];
    for (std::size_t i = 0; i < 6; ++i) {
        fields[i] = integerArgument(call, i + 1);
        if (fields[i] < 0) usageFailure(call.command, "values are 0 (default) or more: '" + call.args[i + 1] + "'");
    }
    EngineSession engine;
    const auto current = engine.client.requireStream(id);
    // The engine takes no default devices or frame count in an edit: 0 keeps the stream's own.
    if (fields[0] == 0) fields[0] = current.inputDevice;
    if (fields[1] == 0) fields[1] = current.outputDevice;
    if (fields[5] == 0) fields[5] = current.bufferFrames;
    const std::string name = call.args.size() > 7 ? call.args[7] : current.name;
    engine.client.command(EPacketType::EditStream,
                          IPC::Packet<int, int, int, int, int, int, int, std::string>::serialize(
                              id, fields[0], fields[1], fields[2], fields[3], fields[4], fields[5], name),
                          "the engine kept stream " + std::to_string(id) + " as it was");
    std::cout << "Edited stream " << id << "\n";
    return kOk;
}

int removeStream(const Invocation& call) {
    const int id = integerArgument(call, 0);
    EngineSession engine;
    engine.client.requireStream(id);
    engine.client.command(EPacketType::DeleteStream, IPC::Packet<int>::serialize(id),
                          "the engine kept stream " + std::to_string(id));
    std::cout << "Removed stream " << id << "\n";
    return kOk;
}

int listRates(const Invocation& call) {
    const int input = integerArgument(call, 0), output = integerArgument(call, 1);
    EngineSession engine;
    const auto rates = engine.client.rates(input, output);
    if (call.json) {
        printJson(rates);
        return kOk;
    }
    std::vector<Row> rows;
    for (int rate : rates) rows.push_back({std::to_string(rate)});
    printTable({"RATE"}, rows);
    return kOk;
}

} // namespace

std::vector<Command> streamCommands() {
    return {
        {"devices", "", "input and output devices with their ids and channel counts", 0, 0, kJsonOption, listDevices},
        {"streams", "", "streams with their devices, format and volume", 0, 0, kJsonOption, listStreams},
        {"add", "[IN OUT IN-CHANNELS OUT-CHANNELS RATE FRAMES]",
         "adds a stream; a missing or 0 value takes the engine's default", 0, 6, kJsonOption, addStream},
        {"start", "ID", "starts a stream; answers once it runs, or with the reason it does not", 1, 1, 0, startStream},
        {"edit", "ID IN OUT IN-CHANNELS OUT-CHANNELS RATE FRAMES [NAME]", "changes a stream; 0 keeps its devices and frames", 7, 8,
         0, editStream},
        {"remove", "ID", "removes a stream", 1, 1, 0, removeStream},
        {"rates", "IN OUT", "sample rates two devices share", 2, 2, kJsonOption, listRates},
    };
}

} // namespace Ctl
