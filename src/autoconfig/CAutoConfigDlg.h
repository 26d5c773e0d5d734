#pragma once

#include <QDialog>

class CSettings;

// The AutoConfig window. (Being built; the main window relies on this constructor.)
class CAutoConfigDlg : public QDialog {
    Q_OBJECT
public:
    CAutoConfigDlg(CSettings* settings, QWidget* parent);

private:
    CSettings* m_settings;
};
