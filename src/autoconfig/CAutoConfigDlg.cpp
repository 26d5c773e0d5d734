#include "autoconfig/CAutoConfigDlg.h"

CAutoConfigDlg::CAutoConfigDlg(CSettings* settings, QWidget* parent)
    : QDialog(parent), m_settings(settings)
{
}
