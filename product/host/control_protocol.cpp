#include "product/host/control_protocol.h"

#include <cstdint>

#include "platform/local_socket.h"

namespace holm::product::host {

std::string controlSocketPath() {
    return platform::localChannelPath("control");
}

std::string encodeRequest(const std::vector<std::string>& words) {
    std::string data;
    for (const std::string& word : words) {
        data += word;
        data.push_back('\0');
    }
    return data;
}

std::vector<std::string> decodeRequest(std::string_view data) {
    std::vector<std::string> words;
    size_t begin = 0;
    for (size_t end = data.find('\0'); end != std::string_view::npos;
         end = data.find('\0', begin)) {
        words.emplace_back(data.substr(begin, end - begin));
        begin = end + 1;
    }
    return words;
}

std::string answerLine(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t index = 0; index < fields.size(); ++index) {
        if (index > 0) {
            line.push_back('\t');
        }
        for (const char character : fields[index]) {
            switch (character) {
                case '\\':
                    line += "\\\\";
                    break;
                case '\t':
                    line += "\\t";
                    break;
                case '\n':
                    line += "\\n";
                    break;
                default:
                    line.push_back(character);
            }
        }
    }
    line.push_back('\n');
    return line;
}

std::vector<std::string> answerFields(std::string_view line) {
    std::vector<std::string> fields(1);
    for (size_t index = 0; index < line.size(); ++index) {
        const char character = line[index];
        if (character == '\t') {
            fields.emplace_back();
        } else if (character == '\\' && index + 1 < line.size()) {
            const char escaped = line[++index];
            fields.back().push_back(escaped == 't' ? '\t' : escaped == 'n' ? '\n' : escaped);
        } else {
            fields.back().push_back(character);
        }
    }
    return fields;
}

std::string_view pluginStateName(uint32_t state) {
    switch (state) {
        case 1:
            return "loaded";
        case 2:
            return "started";
        case 3:
            return "stopped";
        default:
            return "unloaded";
    }
}

}  // namespace holm::product::host
