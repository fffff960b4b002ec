// libFuzzer entry: any bytes as a DirectIP MO message, and as a file the archive imports.
// A check that fails names itself on standard error and aborts, so the fuzzer keeps the
// input.
//
// For every input: the preamble reader and the whole-message parser agree on the length; a
// message that parses composes back to bytes that parse to the same header and payload; the
// archive stores it as pushed and as a file, each exactly once (any payload is kept, one that
// does not decode too), and a file that is no DirectIP message is kept as its bytes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Archive.h"
#include "DirectIp.h"

namespace {

using namespace saltmark;

void Check(bool holds, const char* what, const std::string& detail = {})
{
    if (!holds) {
        std::fprintf(stderr, "fuzz check failed: %s %s\n", what, detail.c_str());
        std::abort();
    }
}

// One archive in memory for many inputs, started afresh now and then so that it stays small.
archive::Archive& Store()
{
    constexpr int kInputsPerArchive = 2000;
    static std::unique_ptr<archive::Archive> store;
    static int inputs = 0;
    if (!store || ++inputs % kInputsPerArchive == 0) {
        store.reset();
        std::string reason;
        store = archive::Archive::Open(":memory:", {}, reason);
        Check(store != nullptr, "an archive in memory opens", reason);
    }
    return *store;
}

void CheckStoredOnce(const archive::Delivery& delivery, const char* what)
{
    std::string reason;
    const archive::Added first = Store().Store(delivery, reason);
    Check(first != archive::Added::Failed, what, reason);
    Check(Store().Store(delivery, reason) == archive::Added::AlreadyThere,
          "the same delivery again adds nothing", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::uint8_t> bytes(data, data + size);
    const DirectIpParse parsed = ParseDirectIp(bytes);
    std::string error;
    const auto declared = DirectIpBodyLength(bytes, error);
    Check(parsed.message.has_value() != !parsed.error.empty(), "a message or a reason");
    if (parsed.message) {
        Check(declared && *declared + kDirectIpPreambleBytes == size,
              "a parsed message is exactly its declared length");
        const DirectIpMessage& message = *parsed.message;
        Check(!message.payload.empty() && message.payload.size() <= kDirectIpLargestPayload,
              "the payload holds 1 to 1960 bytes");
        const DirectIpParse again = ParseDirectIp(ComposeDirectIp(message));
        Check(again.message && again.message->payload == message.payload &&
                  again.message->header.imei == message.header.imei &&
                  again.message->header.momsn == message.header.momsn &&
                  again.message->header.sessionTime == message.header.sessionTime &&
                  again.message->header.cdrReference == message.header.cdrReference &&
                  again.message->location.has_value() == message.location.has_value(),
              "a parsed message composes back to itself", again.error);
        CheckStoredOnce(archive::DeliveryFromDirectIp(message, bytes), "pushed");
    }

    const archive::Delivery file = archive::DeliveryFromFile("fuzz.sbd", bytes);
    Check(parsed.message ? file.raw == bytes && file.header.has_value()
                         : file.payload == bytes && file.raw.empty() && !file.header,
          "a file is framed exactly when it parses");
    CheckStoredOnce(file, "as a file");
    return 0;
}
