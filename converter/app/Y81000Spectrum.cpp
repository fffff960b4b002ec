#include "Y81000Spectrum.h"

#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <limits>

namespace saltmark {

namespace {

constexpr int kBands = 116;

// Reads "\t<name>[i] = value" lines in order; false unless all kBands are there.
bool ReadBandLines(const QStringList& lines, qsizetype& at, const QString& name,
                   std::vector<double>& values)
{
    for (int i = 0; i < kBands; ++i, ++at) {
        const QString prefix = QStringLiteral("\t%1[%2] = ").arg(name).arg(i);
        if (at >= lines.size() || !lines[at].startsWith(prefix)) {
            return false;
        }
        bool ok = false;
        // The decoder prints "%g" in the C locale, which is what QString reads.
        const double value = lines[at].mid(prefix.size()).toDouble(&ok);
        values.push_back(ok ? value : std::numeric_limits<double>::quiet_NaN());
    }
    return true;
}

}  // namespace

std::optional<Y81000Spectrum> SpectrumFromReport(const ReportText& report)
{
    static const QRegularExpression kTitle(QStringLiteral("^Y81000 on COM(\\d+):$"));
    const QStringList lines = QString::fromStdWString(report).split(QStringLiteral("\r\n"));
    std::optional<Y81000Spectrum> last;
    for (qsizetype at = 0; at < lines.size(); ++at) {
        const QRegularExpressionMatch title = kTitle.match(lines[at]);
        if (!title.hasMatch()) {
            continue;
        }
        Y81000Spectrum spectrum;
        spectrum.port = title.captured(1).toInt();
        constexpr int kScalarLines = 8;  // Ustar ... Quality
        qsizetype line = at + 1 + kScalarLines;
        if (line >= lines.size() || lines[line] != QStringLiteral("\tY81000 Freq[i] values:")) {
            continue;
        }
        ++line;
        if (!ReadBandLines(lines, line, QStringLiteral("Freq"), spectrum.freq) ||
            line >= lines.size() || lines[line] != QStringLiteral("\tY81000 Tke[i] values:")) {
            continue;
        }
        ++line;
        if (ReadBandLines(lines, line, QStringLiteral("Tke"), spectrum.tke)) {
            last = std::move(spectrum);
        }
    }
    return last;
}

}  // namespace saltmark
