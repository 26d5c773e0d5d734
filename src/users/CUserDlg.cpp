#include "users/CUserDlg.h"

#include "window/CDialogUnits.h"
#include "window/ControlId.h"
#include "window/Messages.h"
#include "window/WindowText.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

CUserDlg::CUserDlg(CUString* name, CUString* ip, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_name(name), m_ip(ip)
{
    setWindowTitle(QStringLiteral("Add User"));
    CDialogUnits units(font());

    // Each label is its field's buddy: it names the field for a screen reader.
    auto* nameLabel = new QLabel(QStringLiteral("Name"), this);
    units.Place(nameLabel, 7, 10, 20, 8);
    m_nameEdit = new QLineEdit(this);
    SetControlId(m_nameEdit, IDC_USER_NAME);
    units.Place(m_nameEdit, 33, 7, 112, 14);
    nameLabel->setBuddy(m_nameEdit);
    auto* ipLabel = new QLabel(QStringLiteral("IP:"), this);
    units.Place(ipLabel, 8, 27, 10, 8);
    m_ipEdit = new QLineEdit(this);
    SetControlId(m_ipEdit, IDC_USER_IP);
    units.Place(m_ipEdit, 33, 24, 112, 14);
    ipLabel->setBuddy(m_ipEdit);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    SetControlId(ok, 1);
    units.Place(ok, 154, 7, 50, 14);
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    SetControlId(cancel, 2);
    units.Place(cancel, 154, 25, 50, 14);
    connect(ok, &QPushButton::clicked, this, &CUserDlg::OnOK);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    setFixedSize(units.Size(211, 47));

    m_nameEdit->setText(DisplayText(m_name->c_str()));
    m_ipEdit->setText(DisplayText(m_ip->c_str()));
    m_nameEdit->setFocus();
}

const char* CUserDlg::CheckInput(const char* name, const char* ip, int* field)
{
    if (!name || !*name) {
        if (field)
            *field = IDC_USER_NAME;
        return "Enter a name";
    }
    if (!CUString::ValidateIPAddress(ip)) {
        if (field)
            *field = IDC_USER_IP;
        return "Enter a valid IP address";
    }
    return nullptr;
}

void CUserDlg::OnOK()
{
    // A field left as it was shown keeps its bytes: a name from an older file or another
    // player that is not UTF-8 is shown as Latin-1, and must not come back re-encoded.
    auto typed = [](const QLineEdit* edit, const CUString& shown) {
        return edit->text() == DisplayText(shown.c_str())
                   ? shown
                   : CUString(edit->text().toUtf8().toStdString());
    };
    CUString name = typed(m_nameEdit, *m_name);
    CUString ip = typed(m_ipEdit, *m_ip);
    int field = 0;
    if (const char* message = CheckInput(name.c_str(), ip.c_str(), &field)) {
        Error("%s", message);
        QLineEdit* edit = field == IDC_USER_NAME ? m_nameEdit : m_ipEdit;
        edit->setFocus();
        edit->selectAll();
        return;
    }
    *m_name = name;
    *m_ip = ip;
    accept();
}
