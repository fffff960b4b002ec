#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>

// The About box: the application icon and OK.
class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);

private:
    QLabel m_icon;
    QPushButton m_ok;
};
