#pragma once
// A deployment file: who publishes the buoys' data and under which terms (the global
// metadata a data centre asks of every file), and which buoy is which (by IMEI: its name,
// platform and WMO numbers, where and when it was deployed, and the instruments it carries).
// Checked whole as it is read, like the quality-control configuration: a mistake stops the
// reader with its file, line and reason. Platform-free: the caller hands in the text.
//
//   metadata:
//     title: ...                     # and the other ACDD attributes, see docs/publishing.md
//     creator: {name: ..., email: ..., url: ..., type: institution}
//     contributors: [{name: ..., role: ...}]
//   buoys:
//     "300434060000010":
//       name: North drifter
//       wmo_platform_code: "4801234"
//       deployment: {start: 2026-05-01T12:00:00Z, end: 2026-11-01T00:00:00Z}
//       position: {latitude: 47.5, longitude: -8.25}
//       instruments:
//         - {record: PB200, make_model: ..., height: 3.1}
//       alerts: {silent_hours: 12}     # this buoy's own rules over the fleet's
//   alerts:                          # see docs/alerts.md
//     channels: [{webhook: https://...}, {mail: ops@example.org}]
//     rules: {silent_hours: 6, battery_below: 11.5, ...}

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "AlertRules.h"

namespace saltmark::deployment {

struct Party {  // a creator or publisher
    std::string name, email, url, type;
    // as the IOOS metadata profile asks them
    std::string institution, country, sector, address, city, state, postalcode, phone;
};

struct Contributor {
    std::string name, role, email, url;
};

// The ACDD global attributes, under their ACDD names; empty when the file gives none.
struct Metadata {
    std::string title, summary;
    std::vector<std::string> keywords;
    std::string keywordsVocabulary;
    std::string institution, project;
    Party creator, publisher;
    std::vector<Contributor> contributors;
    std::string license, namingAuthority, infoUrl, references, acknowledgement, comment;
    std::string instrumentVocabulary;  // where the instruments' make_model comes from
};

struct Instrument {
    std::string record;     // the record type it fills, as the record descriptions spell it
    std::string makeModel;  // free text
    std::optional<double> height;  // metres above the water line
    std::optional<double> depth;   // metres below it
    std::optional<double> calibrationDate;  // seconds since 1970-01-01T00:00:00Z
    int line = 0;
};

struct Buoy {
    std::string imei;  // 15 digits
    std::string name, platformId, wmoPlatformCode, platformType;
    std::optional<double> start, end;  // seconds since 1970-01-01T00:00:00Z
    std::optional<double> latitude, longitude;  // degrees north and east
    std::vector<Instrument> instruments;
    // The fleet's rules with this buoy's own changes, when it gives any.
    std::optional<alerts::Rules> alerts;
    int line = 0;
};

struct Deployment {
    std::string fileName;
    Metadata metadata;
    std::vector<Buoy> buoys;  // in the file's order
    // The `alerts` section as written (YAML), empty when absent.
    std::string alerts;
    alerts::Rules alertRules;                // the fleet's
    std::vector<std::string> alertChannels;  // "webhook:<url>", "mail:<address>"

    const Buoy* FindBuoy(std::string_view imei) const;
    // The buoy's own rules, else the fleet's (also for a buoy the file does not list).
    const alerts::Rules& AlertRulesFor(std::string_view imei) const;
};

// "deployment.yaml:12: buoys: 30043406000001: an IMEI has 15 digits".
class DeploymentError : public std::runtime_error {
public:
    DeploymentError(std::string fileName, int line, std::string reason);
    const std::string& FileName() const { return m_fileName; }
    int Line() const { return m_line; }  // 1-based; 0 when the text as a whole is at fault
    const std::string& Reason() const { return m_reason; }

private:
    std::string m_fileName;
    int m_line;
    std::string m_reason;
};

// Parses and checks the whole text; throws DeploymentError at the first fault.
Deployment ParseDeployment(std::string_view text, std::string_view fileName);

// The global attributes the metadata gives, under their ACDD and IOOS names, in a fixed order,
// those it leaves empty left out: every file and dataset written for a data centre carries
// these the same way. The title is the caller's, which names the buoy in it.
std::vector<std::pair<std::string, std::string>> DatasetAttributes(const Metadata& metadata);

// "2026-05-01T12:00:00Z" (whole seconds, UTC), as ACDD's time attributes want it.
std::string IsoTime(double secondsSince1970);

}  // namespace saltmark::deployment
