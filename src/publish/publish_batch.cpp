#include "publish/publish_batch.h"

#include <algorithm>

#include "drivers/driver_settings.h"
#include "kro/Util.h"
#include "publish/publish_settings.h"
#include "text/lines.h"

namespace {

constexpr size_t kDefaultBytes = 256 * 1024;
// A time in milliseconds since 1970 of 13 digits, as until the year 2286.
constexpr int64_t kLongestTime = 9999999999999;

} // namespace

size_t BatchSettings::limit(uint64_t brokerMaxPacket, uint64_t maxBytes) const {
    if (bytes)
        return bytes;
    // The packet also holds its header and topic: a little room for them.
    const uint64_t broker = brokerMaxPacket > 1024 ? brokerMaxPacket - 512 : brokerMaxPacket;
    uint64_t known = 0;
    for (const uint64_t b : {broker, maxBytes})
        if (b && (!known || b < known))
            known = b;
    return known ? static_cast<size_t>(known) : kDefaultBytes;
}

BatchSettings readBatchSettings(const std::string& settings, const std::string& device) {
    using kro::util::Util;
    BatchSettings batch;
    if (Util::getValFromJsonc(settings, "PubBatch").empty())
        return batch;
    if (Util::getValFromJsonc(settings, "PubMode") != "session") {
        printLine("[kro error]PubBatch needs \"PubMode\": \"session\"; values are published one "
                  "by one\n");
        return batch;
    }
    const std::string most = Util::getValFromJsonc(settings, "PubBatch");
    if (!isWholeNumber(most) || std::stoul(most) < 2) {
        printLine("[kro error]PubBatch must be a whole number of values from 2, not \"" +
                  printable(most) + "\": values are published one by one\n");
        return batch;
    }
    batch.most = std::stoul(most);
    batch.wait = std::chrono::milliseconds(
        readWholeSetting(settings, "PubBatchMs", batch.wait.count(), 1, "milliseconds"));
    batch.bytes = readWholeSetting(settings, "PubBatchBytes", 0, 1, "bytes");
    batch.topic = Util::getValFromJsonc(settings, "PubBatchTopic");
    const std::string wrapper = Util::getValFromJsonc(settings, "PubBatchTemplate");
    if (!wrapper.empty()) {
        std::string error;
        batch.wrapper = PubFormat::compileWrapper(wrapper, device, error);
        if (batch.wrapper)
            batch.wrapperBytes = batch.wrapper->render("[]", "", kLongestTime).size() - 2;
        else
            printLine("[kro error]PubBatchTemplate is not valid JSON (" + printable(error) +
                      "): batches are published as arrays\n");
    }
    return batch;
}

std::string batchPayload(const BatchSettings& batch, const std::vector<std::string_view>& elements,
                         int64_t timeMs) {
    std::string array;
    size_t bytes = 2;
    for (const std::string_view e : elements)
        bytes += e.size() + 1;
    array.reserve(bytes);
    array += '[';
    for (size_t i = 0; i < elements.size(); ++i) {
        if (i)
            array += ',';
        array += elements[i];
    }
    array += ']';
    return batch.wrapper ? batch.wrapper->render(array, "", timeMs) : array;
}

size_t batchPayloadBytes(const BatchSettings& batch, size_t elementBytes, size_t count) {
    return elementBytes + 2 + (count ? count - 1 : 0) + batch.wrapperBytes;
}
