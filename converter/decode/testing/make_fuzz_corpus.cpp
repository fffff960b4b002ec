// Writes the fuzzer's seed corpus: one whole message per record type, every record type back
// to back, each of them one byte short, the Signature and camera records whose sizes do not
// add up, unknown type codes and packet types, and the short framings. The files in
// converter/decode/fuzz-corpus are this program's output; given a second folder, it also
// writes each seed that fits a DirectIP payload in DirectIP framing, and framings that break
// one rule each, for the DirectIP and archive fuzzer (converter/archive/fuzz-corpus):
//   saltmark_make_fuzz_corpus converter/decode/fuzz-corpus converter/archive/fuzz-corpus

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "DirectIp.h"
#include "MessageComposer.h"
#include "ReportExpect.h"

namespace {

using saltmark::testing::Message;
using saltmark::testing::MessageComposer;
using Bytes = std::vector<std::uint8_t>;

struct FixedType {
    std::uint8_t code;
    std::size_t length;
    const char* name;
};

// Whole record lengths, header included.
const FixedType kFixedTypes[] = {
    {0, 68, "aquadopp-hr"}, {1, 164, "aquadopp"}, {2, 76, "pb200"},  {3, 1800, "imu"},
    {4, 16, "acs"},         {5, 16, "eco"},       {6, 8, "misc"},    {8, 52, "v536"},
    {10, 1200, "ellipse"},  {11, 964, "y81000"},  {12, 8, "aco"},    {13, 8, "swl"},
};
constexpr std::size_t kHeaderLength = 4;

// A fixed record whose body is a run of plausible float32 values.
Bytes FixedRecord(const FixedType& type)
{
    const std::size_t body = type.length - kHeaderLength;
    MessageComposer record;
    record.Header(type.code, type.code == 8 ? '0' : 1, static_cast<std::uint16_t>(body));
    record.F32s(saltmark::testing::SampleValues(static_cast<int>(body / 4), type.code));
    return record.Bytes();
}

Bytes CameraRecord(const Bytes& image)
{
    return MessageComposer()
        .Header(7, 4, static_cast<std::uint16_t>(image.size()))
        .Raw(image)
        .Bytes();
}

Bytes SignatureRecord(int burstCount, int avgCount)
{
    MessageComposer record;
    record.Header(9, 2, static_cast<std::uint16_t>(4 + 4 * burstCount + 8 * avgCount));
    record.U16(static_cast<std::uint16_t>(burstCount))
        .F32s(saltmark::testing::SampleValues(burstCount, 9));
    record.U16(static_cast<std::uint16_t>(avgCount))
        .F32s(saltmark::testing::SampleValues(2 * avgCount, 10));
    return record.Bytes();
}

Bytes ShortByOne(Bytes message)
{
    message.pop_back();
    return message;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: saltmark_make_fuzz_corpus FOLDER [DIRECTIP_FOLDER]\n");
        return 2;
    }
    const std::string folder = argv[1];
    const std::string framedFolder = argc == 3 ? argv[2] : "";
    int written = 0;
    bool failed = false;
    const auto write = [&](const std::string& path, const Bytes& bytes) {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        failed = failed || !out;
        ++written;
    };
    saltmark::DirectIpMessage framed;
    framed.header = {0x01020304, "300234010000001", 0, 1, 0, 1765100000};
    const auto save = [&](const std::string& name, const Bytes& message) {
        write(folder + "/" + name + ".sbd", message);
        if (!framedFolder.empty() && !message.empty() &&
            message.size() <= saltmark::kDirectIpLargestPayload) {
            framed.payload = message;
            framed.location = (++framed.header.momsn % 2 == 0)
                                  ? std::optional(saltmark::DirectIpLocation{-33.5, 151.25, 4})
                                  : std::nullopt;
            write(framedFolder + "/directip-" + name + ".sbd", saltmark::ComposeDirectIp(framed));
        }
    };

    std::vector<std::pair<std::string, Bytes>> records;
    for (const FixedType& type : kFixedTypes) {
        records.emplace_back(type.name, FixedRecord(type));
    }
    records.emplace_back("camera", CameraRecord({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0xFF, 0xD9}));
    records.emplace_back("camera-empty", CameraRecord({}));
    records.emplace_back("signature", SignatureRecord(3, 2));
    records.emplace_back("signature-empty", SignatureRecord(0, 0));

    Bytes everyType = {55};
    for (const auto& [name, record] : records) {
        save("whole-" + name, Message({record}));
        save("short-" + name, ShortByOne(Message({record})));
        everyType.insert(everyType.end(), record.begin(), record.end());
    }
    save("whole-every-type", everyType);
    save("short-every-type", ShortByOne(everyType));

    // Signature sizes that cannot hold what they announce.
    const Bytes misc = FixedRecord(kFixedTypes[6]);
    const std::pair<const char*, Bytes> signatureBounds[] = {
        {"size-past-message", MessageComposer().Header(9, 1, 200).U16(0).U16(0).Bytes()},
        {"size-0", MessageComposer().Header(9, 1, 0).Bytes()},
        {"size-1", MessageComposer().Header(9, 1, 1).U8(0).Bytes()},
        {"size-2", MessageComposer().Header(9, 1, 2).U16(0).Bytes()},
        {"burst-past-size", MessageComposer().Header(9, 1, 8).U16(2).F32(1.0f).U16(0).Bytes()},
        {"pairs-past-size",
         MessageComposer().Header(9, 1, 11).U16(0).U16(1).F32(1.0f).Raw({0, 0, 0}).Bytes()},
        {"largest-counts", MessageComposer().Header(9, 1, 4).U16(0xFFFF).U16(0xFFFF).Bytes()},
    };
    for (const auto& [name, record] : signatureBounds) {
        save(std::string("signature-") + name, Message({misc, record, misc}));
    }
    save("camera-overlong", ShortByOne(Message({CameraRecord({6, 6}), CameraRecord({1, 2, 3, 4})})));

    for (std::uint8_t code : {14, 128, 255}) {
        save("unknown-type-" + std::to_string(code),
             Message({misc, MessageComposer().Header(code, 0, 0).Bytes()}));
    }
    save("packet-type-54", Message({misc}, 54));
    save("packet-type-only", {55});
    save("empty", {});
    for (int extra = 1; extra <= 3; ++extra) {
        Bytes message = Message({misc});
        message.insert(message.end(), static_cast<std::size_t>(extra), 0xFF);
        save("trailing-" + std::to_string(extra), message);
    }
    if (!framedFolder.empty()) {
        // Framings that break one rule each: the element walk's every exit.
        framed.payload = Message({misc});
        framed.location.reset();
        const Bytes good = saltmark::ComposeDirectIp(framed);
        Bytes revision = good;
        revision[0] = 2;
        Bytes pastEnd = good;
        pastEnd[5] = 0xFF;  // the header element claims more than the message holds
        Bytes unknown = good;
        unknown.insert(unknown.end(), {0x09, 0x00, 0x02, 0xAB, 0xCD});
        unknown[2] = static_cast<std::uint8_t>(unknown[2] + 5);
        Bytes twoHeaders = good;
        twoHeaders.insert(twoHeaders.end(), good.begin() + 3, good.begin() + 34);
        twoHeaders[2] = static_cast<std::uint8_t>(twoHeaders[2] + 31);
        const std::pair<const char*, Bytes> broken[] = {
            {"revision-2", revision},
            {"element-past-end", pastEnd},
            {"unknown-element", unknown},
            {"second-header", twoHeaders},
            {"cut", ShortByOne(good)},
            {"preamble-only", Bytes(good.begin(), good.begin() + 3)},
        };
        for (const auto& [name, bytes] : broken) {
            write(framedFolder + "/directip-" + name + ".sbd", bytes);
        }
    }
    std::printf("%d seed messages written to %s\n", written, folder.c_str());
    return failed ? 1 : 0;
}
