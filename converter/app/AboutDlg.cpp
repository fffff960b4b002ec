#include "AboutDlg.h"

#include "DialogUnits.h"

using saltmark::DluX;
using saltmark::DluY;

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_icon(this),
      m_name(QStringLiteral("Saltmark, version %1").arg(QStringLiteral(ORCAN_VERSION)), this),
      m_ok(QStringLiteral("OK"), this)
{
    setObjectName(QStringLiteral("IDD_ABOUTBOX"));
    setWindowTitle(QStringLiteral("About Saltmark"));
    setFixedSize(DluX(170), DluY(62));

    constexpr int kIconSize = 32;
    m_icon.setPixmap(windowIcon().pixmap(kIconSize, kIconSize));
    m_icon.setGeometry(DluX(14), DluY(14), kIconSize, kIconSize);

    // Beside the icon, in the room the classic box leaves between the icon and OK.
    m_name.setObjectName(QStringLiteral("IDC_NAME_VERSION"));
    m_name.setGeometry(DluX(42), DluY(14), DluX(170 - 42 - 7), DluY(8) + 4);

    m_ok.setObjectName(QStringLiteral("IDOK"));
    m_ok.setGeometry(DluX(113), DluY(41), DluX(50), DluY(14));
    m_ok.setDefault(true);
    connect(&m_ok, &QPushButton::clicked, this, &QDialog::accept);
}
