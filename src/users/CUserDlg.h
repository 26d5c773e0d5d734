#pragma once

#include "base/CUString.h"

#include <QDialog>

class QLineEdit;

// The user editor: a remote player's name and IP address. It fills the two strings
// it is given, in place, only when OK is pressed on valid input.
class CUserDlg : public QDialog
{
    Q_OBJECT
public:
    enum { IDC_USER_NAME = 1017, IDC_USER_IP = 1018 };

    // The targets are shown when the dialog opens; they must outlive it.
    CUserDlg(CUString* name, CUString* ip, QWidget* parent);

    // The message for invalid input, or null when both fields are good; `field`
    // gives the control to correct. The name is checked first.
    static const char* CheckInput(const char* name, const char* ip, int* field);

    // OK: stores and closes when the input is valid, else says what is wrong.
    void OnOK();

    QLineEdit* NameEdit() const { return m_nameEdit; }
    QLineEdit* IPEdit() const { return m_ipEdit; }

private:
    QLineEdit* m_ipEdit = nullptr;
    QLineEdit* m_nameEdit = nullptr;
    CUString* m_name;
    CUString* m_ip;
};
