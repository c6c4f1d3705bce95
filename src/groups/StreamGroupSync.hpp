#pragma once

#include <string>
#include <tuple>
#include <vector>

using GroupColor = std::tuple<unsigned int, unsigned int, unsigned int>;

// A group of linked streams: its id, display colour, the effect types whose parameter changes all
// members share, and the two exclusive volume-sync modes. Membership lives on the streams.
class StreamGroupSync {
public:
    StreamGroupSync(unsigned int groupId, GroupColor color);
    ~StreamGroupSync();
    StreamGroupSync(const StreamGroupSync&) = delete;
    StreamGroupSync& operator=(const StreamGroupSync&) = delete;

    unsigned int getGroupId() const { return groupId; }
    GroupColor getColor() const { return color; }
    std::vector<std::string> getEffects() const { return effects; }
    bool getVolumeLevel() const { return volumeLevel; }
    bool getVolumeRatio() const { return volumeRatio; }
    bool sharesEffect(const std::string& name) const;

    // Switching one sync mode on switches the other off.
    void setVolumeLevel(bool on);
    void setVolumeRatio(bool on);
    void addEffect(const std::string& name);
    // The first entry of that name; none is not an error.
    void removeEffect(const std::string& name);
    void setColor(GroupColor newColor) { color = newColor; }

    // Two blanks on the colour as terminal background, then back to the log's own colour.
    static std::string colorSwatch(GroupColor color);

private:
    unsigned int groupId;
    bool volumeLevel{false};
    bool volumeRatio{false};
    std::vector<std::string> effects;
    GroupColor color;
};
