#include "ChannelList.h"

#include "NumberText.h"

#include <algorithm>

namespace ostrel_tool {

namespace {

std::string Trim(const std::string &text) {
    const size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return std::string();
    const size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

std::string RangeText(int first, int last) {
    return std::to_string(first) + " to " + std::to_string(last);
}

bool ParseChannel(const std::string &text, int first, int last, int &channel, std::string &error) {
    int32_t value = 0;
    if (!ParseInteger(text, value)) {
        error = "\"" + text + "\" is not a channel number";
        return false;
    }
    if (value < first || value > last) {
        error = "channel " + std::to_string(value) + " is not a sensor channel (" + RangeText(first, last) + ")";
        return false;
    }
    channel = value;
    return true;
}

} // namespace

bool ParseChannelList(const std::string &text, int first, int last, std::vector<int> &out, std::string &error) {
    std::vector<int> channels;
    const std::string whole = Trim(text);
    if (whole == "all") {
        for (int c = first; c <= last; ++c)
            channels.push_back(c);
        out = channels;
        return true;
    }

    size_t start = 0;
    while (start <= whole.size()) {
        size_t comma = whole.find(',', start);
        if (comma == std::string::npos)
            comma = whole.size();
        const std::string item = Trim(whole.substr(start, comma - start));
        if (item.empty()) {
            error = "empty item in the channel list \"" + text + "\"";
            return false;
        }
        // A dash after the first character separates a range; a leading one
        // is a sign and makes the number out of range anyway.
        const size_t dash = item.find('-', 1);
        int from = 0;
        int to = 0;
        if (dash == std::string::npos) {
            if (!ParseChannel(item, first, last, from, error))
                return false;
            to = from;
        } else {
            if (!ParseChannel(Trim(item.substr(0, dash)), first, last, from, error) ||
                !ParseChannel(Trim(item.substr(dash + 1)), first, last, to, error))
                return false;
            if (to < from) {
                error = "channel range \"" + item + "\" runs backwards";
                return false;
            }
        }
        for (int c = from; c <= to; ++c)
            if (std::find(channels.begin(), channels.end(), c) == channels.end())
                channels.push_back(c);
        start = comma + 1;
    }
    out = channels;
    return true;
}

} // namespace ostrel_tool
