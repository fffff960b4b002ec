#include "InvocationFlags.h"

#include <algorithm>
#include <memory>
#include <set>

#include "ArchiveQc.h"

namespace saltmark::cli {

namespace {

constexpr const char* kAggregate = "aggregate";

// A copy the run read before: the archive keeps one of them, and its flags are that one's.
std::optional<std::size_t> EarlierCopy(std::span<const InputMessage> inputs, std::size_t index)
{
    const archive::Delivery& later = inputs[index].delivery;
    for (std::size_t i = 0; i < index; ++i) {
        const archive::Delivery& earlier = inputs[i].delivery;
        if (earlier.payload == later.payload && earlier.raw == later.raw) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<InvocationFlags> InvocationFlags::Compute(const qc::Config& config,
                                                        std::span<const InputMessage> inputs,
                                                        std::string& reason)
{
    const std::unique_ptr<archive::Archive> store =
        archive::Archive::Open(":memory:", {}, reason);
    if (!store) {
        return std::nullopt;
    }
    const std::vector<std::string> streams = archive::ConfiguredStreams(config);
    std::map<std::string, archive::BuoyFlags> byBuoy;
    store->SetBeforeCommit([&](archive::Archive& self, const std::vector<std::string>& buoys,
                               std::string& why) {
        for (const std::string& buoy : buoys) {
            const std::optional<archive::BuoyRows> rows = self.ReadBuoy(buoy, streams, why);
            if (!rows) {
                return false;
            }
            byBuoy[buoy] = archive::FlagRows(config, buoy, *rows);
        }
        return true;
    });

    std::vector<archive::Added> added;
    for (const InputMessage& input : inputs) {
        std::string ignored;  // the outcome names what failed
        added.push_back(store->Add(input.delivery, ignored));
    }
    const archive::BatchOutcome outcome = store->Commit();
    for (const archive::NotArchived& missing : outcome.notArchived) {
        added[missing.index] = archive::Added::Failed;
    }

    // A new archive numbers its messages from 1 in the order they went in.
    std::map<std::int64_t, std::size_t> inputOf;
    std::vector<std::optional<std::size_t>> copyOf(inputs.size());
    std::int64_t next = 1;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (added[i] == archive::Added::New) {
            inputOf[next++] = i;
        } else if (added[i] == archive::Added::AlreadyThere) {
            copyOf[i] = EarlierCopy(inputs, i);
        }
    }

    InvocationFlags flags;
    for (const auto& [buoy, buoyFlags] : byBuoy) {
        for (const archive::StreamFlagRows& stream : buoyFlags.streams) {
            std::vector<std::string>& tests = flags.m_tests[stream.stream];
            // The aggregate first, then the tests as configured.
            std::vector<const archive::TestFlagRows*> ordered;
            for (const archive::TestFlagRows& test : stream.tests) {
                if (test.test == kAggregate) {
                    ordered.insert(ordered.begin(), &test);
                } else {
                    ordered.push_back(&test);
                }
            }
            if (tests.empty()) {
                for (const archive::TestFlagRows* test : ordered) {
                    tests.push_back(test->test);
                }
            }
            for (std::size_t k = 0; k < stream.keys.size(); ++k) {
                const auto input = inputOf.find(stream.keys[k].messageId);
                if (input == inputOf.end()) {
                    continue;
                }
                std::vector<std::uint8_t> values(tests.size(), qc::kUnknown);
                for (const archive::TestFlagRows* test : ordered) {
                    const auto column = std::find(tests.begin(), tests.end(), test->test);
                    if (column != tests.end()) {
                        values[static_cast<std::size_t>(column - tests.begin())] =
                            test->flags[k];
                    }
                }
                flags.m_flags[{input->second, stream.keys[k].record, stream.stream}] =
                    std::move(values);
            }
        }
    }
    // A repeated file shows the flags of the copy the archive kept.
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (!copyOf[i]) {
            continue;
        }
        std::vector<std::pair<std::tuple<std::size_t, std::int32_t, std::string>,
                              std::vector<std::uint8_t>>>
            copies;
        for (const auto& [key, values] : flags.m_flags) {
            if (std::get<0>(key) == *copyOf[i]) {
                copies.push_back({{i, std::get<1>(key), std::get<2>(key)}, values});
            }
        }
        flags.m_flags.insert(copies.begin(), copies.end());
    }
    return flags;
}

const std::vector<std::string>& InvocationFlags::Tests(std::string_view stream) const
{
    static const std::vector<std::string> kNone;
    const auto found = m_tests.find(stream);
    return found == m_tests.end() ? kNone : found->second;
}

const std::vector<std::uint8_t>* InvocationFlags::Find(std::size_t input, std::int32_t record,
                                                       std::string_view stream) const
{
    const auto found = m_flags.find({input, record, std::string(stream)});
    return found == m_flags.end() ? nullptr : &found->second;
}

std::optional<std::string> StreamOf(const DecodedRecord& record, const RecordField& field)
{
    // The canonical name is the descriptions' own spelling.
    if (IsArray(field.Kind()) || field.Kind() == FieldKind::Text) {
        return std::nullopt;
    }
    return std::string(record.TypeName()) + "." + std::string(field.Name());
}

}  // namespace saltmark::cli
