#pragma once
// The Spectrum view: the Y81000 record's Tke against Freq on log-log axes, with a -5/3
// line for the inertial subrange.

#include <QChartView>

#include "Y81000Spectrum.h"

class CSpectrumView : public QChartView {
public:
    explicit CSpectrumView(QWidget* parent = nullptr);

    // Draws the spectrum; bands whose values cannot be drawn on log axes (the library's
    // 9999.0 marker, zero, negative, not a number) are left out.
    void SetSpectrum(const saltmark::Y81000Spectrum& spectrum);
};
