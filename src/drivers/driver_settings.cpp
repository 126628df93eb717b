#include "drivers/driver_settings.h"

#include "kro/Util.h"
#include "text/lines.h"

void CHECKFILE(std::string filepath) {
    if (!kro::util::FileUtil::fileExists(filepath)) {
        printLine("[kro error]can't find file: " + printable(filepath) + "\n");
    }
}

bool isWholeNumber(const std::string& text) {
    // Nine digits at most: more than thirty years, a hundred million values.
    return !text.empty() && text.size() <= 9 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

std::chrono::seconds readPubTimeout(const std::string& settings) {
    constexpr std::chrono::seconds kDefault{30};
    const std::string text = kro::util::Util::getValFromJsonc(settings, "PubTimeout");
    if (text.empty())
        return kDefault;
    if (!isWholeNumber(text)) {
        printLine("[kro error]PubTimeout must be a whole number of seconds (0: no limit), not \"" +
                  printable(text) + "\"; using 30\n");
        return kDefault;
    }
    return std::chrono::seconds(std::stol(text));
}
