#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>

// The About box: the application icon with the program's name and version, and OK.
class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);

private:
    QLabel m_icon;  // first, so that the icon is the box's first label
    QLabel m_name;
    QPushButton m_ok;
};
