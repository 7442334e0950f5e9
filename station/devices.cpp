#include "station/devices.h"

namespace station {

namespace {

// The word after marker in text (up to a blank, a comma or a parenthesis), empty without it.
std::string WordAfter(const std::string& text, const std::string& marker) {
    std::size_t at = text.find(marker);
    if (at == std::string::npos) {
        return {};
    }
    at += marker.size();
    return text.substr(at, text.find_first_of(" ,()", at) - at);
}

std::string Names(const std::vector<const ListedDevice*>& devices) {
    std::string text;
    for (const ListedDevice* device : devices) {
        text += (text.empty() ? "" : ", ") + device->name;
    }
    return text;
}

}  // namespace

bool AnswersTo(const ListedDevice& device, const std::string& argument) {
    if (argument.empty()) {
        return false;
    }
    return device.name == argument || WordAfter(device.description, ", serial ") == argument ||
           WordAfter(device.description, "(taken from ") == argument;
}

bool ResolveDevices(const std::vector<std::string>& arguments,
                    const std::vector<ListedDevice>& listed, std::vector<std::string>& names,
                    std::string& error) {
    std::vector<std::string> wanted = arguments;
    if (wanted.empty()) {
        for (const ListedDevice& device : listed) {
            wanted.push_back(device.name);
        }
    }
    std::vector<const ListedDevice*> chosen;
    for (const std::string& argument : wanted) {
        if (argument.empty()) {
            error = "an empty DEVICE";
            return false;
        }
        std::vector<const ListedDevice*> matches;
        for (const ListedDevice& device : listed) {
            if (AnswersTo(device, argument)) {
                matches.push_back(&device);
            }
        }
        if (matches.empty()) {
            std::vector<const ListedDevice*> all;
            for (const ListedDevice& device : listed) {
                all.push_back(&device);
            }
            error = argument + " is no CAN device here; the library lists " +
                    (all.empty() ? std::string("none") : Names(all));
            return false;
        }
        if (matches.size() > 1) {
            error = argument + " is " + std::to_string(matches.size()) + " devices (" +
                    Names(matches) + "): name one by its name";
            return false;
        }
        for (std::size_t i = 0; i < chosen.size(); ++i) {
            if (chosen[i] == matches[0]) {
                error = wanted[i] + " and " + argument + " are one device, " + matches[0]->name;
                return false;
            }
        }
        chosen.push_back(matches[0]);
    }
    names.clear();
    for (const ListedDevice* device : chosen) {
        names.push_back(device->name);
    }
    return true;
}

}  // namespace station
