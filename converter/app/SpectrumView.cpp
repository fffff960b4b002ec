#include "SpectrumView.h"

#include <QAreaSeries>
#include <QChart>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QPen>
#include <algorithm>
#include <cmath>
#include <memory>

#include "eddyrate.h"

namespace {

using saltmark::kFitBandHighHz;
using saltmark::kFitBandLowHz;
// What the library writes where it has no estimate.
constexpr double kMissing = EDDYRATE_MISSING;
// Room around the data on the log axes: a factor on each side, so that no point sits on the
// frame.
constexpr double kAxisMargin = 1.6;

QString Estimate(const char* name, double value, const char* unit)
{
    if (!std::isfinite(value) || value == kMissing) {
        return QStringLiteral("%1: no estimate").arg(QString::fromUtf8(name));
    }
    return QStringLiteral("%1 = %2 %3")
        .arg(QString::fromUtf8(name), QString::number(value, 'g', 4), QString::fromUtf8(unit));
}

// A chart view keeps the chart it is given but lets go of the one it had without deleting it.
void ReplaceChart(QChartView& view, std::unique_ptr<QChart> chart)
{
    const std::unique_ptr<QChart> previous(view.chart());
    view.setChart(chart.release());
}

bool Drawable(double freq, double tke)
{
    return std::isfinite(freq) && std::isfinite(tke) && freq > 0.0 && tke > 0.0 &&
           freq != kMissing && tke != kMissing;
}

}  // namespace

CSpectrumView::CSpectrumView(QWidget* parent) : QChartView(parent)
{
    setObjectName(QStringLiteral("SpectrumView"));
    setRenderHint(QPainter::Antialiasing);
    SetSpectrum({});
}

void CSpectrumView::SetSpectrum(const saltmark::Y81000Spectrum& spectrum)
{
    auto chart = std::make_unique<QChart>();
    chart->legend()->setAlignment(Qt::AlignTop);

    auto measured = std::make_unique<QLineSeries>();
    measured->setName(QStringLiteral("Tke (sum of the u, v and w spectra)"));
    measured->setPointsVisible(true);
    for (std::size_t i = 0; i < spectrum.freq.size() && i < spectrum.tke.size(); ++i) {
        const double f = spectrum.freq[i];
        const double s = spectrum.tke[i];
        if (!Drawable(f, s)) {
            continue;
        }
        measured->append(f, s);
    }

    if (measured->count() < 2) {
        chart->setTitle(spectrum.freq.empty()
                            ? QString()
                            : QStringLiteral("Y81000 on COM%1: no spectrum (the burst was "
                                             "rejected or its values are not finite)")
                                  .arg(spectrum.port));
        ReplaceChart(*this, std::move(chart));
        return;
    }
    chart->setTitle(QStringLiteral("Y81000 on COM%1: turbulent-kinetic-energy spectrum<br>%2, %3")
                        .arg(spectrum.port)
                        .arg(Estimate("\u03B5", spectrum.epsilon, "m\u00B2/s\u00B3"),
                             Estimate("u*", spectrum.ustar, "m/s")));

    const QList<QPointF> points = measured->points();
    double lowest = points.front().y();
    double highest = lowest;
    for (const QPointF& point : points) {
        lowest = std::min(lowest, point.y());
        highest = std::max(highest, point.y());
    }
    auto* xAxis = new QLogValueAxis;
    xAxis->setTitleText(QStringLiteral("Frequency (Hz)"));
    xAxis->setLabelFormat(QStringLiteral("%g"));
    xAxis->setBase(10.0);
    xAxis->setMinorTickCount(-1);
    auto* yAxis = new QLogValueAxis;
    yAxis->setTitleText(QStringLiteral("Tke (m\u00B2/s\u00B2 per Hz)"));
    yAxis->setLabelFormat(QStringLiteral("%g"));
    yAxis->setBase(10.0);
    yAxis->setMinorTickCount(-1);
    xAxis->setRange(points.front().x() / kAxisMargin, points.back().x() * kAxisMargin);
    yAxis->setRange(lowest / kAxisMargin, highest * kAxisMargin);
    chart->addAxis(xAxis, Qt::AlignBottom);
    chart->addAxis(yAxis, Qt::AlignLeft);

    // The fit band, shaded from the bottom of the plot to its top.
    auto* bandTop = new QLineSeries;
    auto* bandBottom = new QLineSeries;
    for (const double f : {kFitBandLowHz, kFitBandHighHz}) {
        bandTop->append(f, highest * kAxisMargin);
        bandBottom->append(f, lowest / kAxisMargin);
    }
    auto* band = new QAreaSeries(bandTop, bandBottom);
    bandTop->setParent(band);
    bandBottom->setParent(band);
    band->setName(QStringLiteral("fit band (%1 to %2 Hz)")
                      .arg(kFitBandLowHz, 0, 'f', 1)
                      .arg(kFitBandHighHz, 0, 'f', 1));
    band->setColor(QColor(225, 225, 225));
    band->setBorderColor(QColor(225, 225, 225));
    chart->addSeries(band);
    band->attachAxis(xAxis);
    band->attachAxis(yAxis);

    QLineSeries* measuredSeries = measured.release();
    chart->addSeries(measuredSeries);
    measuredSeries->attachAxis(xAxis);
    measuredSeries->attachAxis(yAxis);

    // The inertial subrange falls as f^(-5/3): the message core's line, at the fit's level over
    // the fit band, so that a spectrum parallel to it shows the law holds there.
    if (spectrum.line) {
        auto* law = new QLineSeries;
        law->setName(QStringLiteral("f^-5/3 at the fit's level"));
        for (std::size_t i = 0; i < spectrum.line->freq.size(); ++i) {
            law->append(spectrum.line->freq[i], spectrum.line->tke[i]);
        }
        law->setPen(QPen(QColor(200, 40, 40), 2.0, Qt::DashLine));
        chart->addSeries(law);
        law->attachAxis(xAxis);
        law->attachAxis(yAxis);
    }
    ReplaceChart(*this, std::move(chart));
}
