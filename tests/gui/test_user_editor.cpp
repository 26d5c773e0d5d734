#include "MainDlgHarness.h"

#include "users/CUserDlg.h"

#include <QLineEdit>
#include <QTimer>

using UserEditor = ::testing::Test;

TEST_F(UserEditor, NameFirstThenIPAndOnlyValidInputIsStoredWhole)
{
    CUString name, ip;
    CUserDlg dialog(&name, &ip, nullptr);
    dialog.show();
    MessageRecorder messages;
    dialog.OnOK(); // both fields empty
    EXPECT_EQ(messages.Errors, Strings{"Enter a name"});
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.focusWidget(), dialog.NameEdit());

    dialog.NameEdit()->setText("  Big Al  ");
    dialog.IPEdit()->setText("10.0.0.300");
    dialog.OnOK();
    EXPECT_EQ(messages.Errors.back(), "Enter a valid IP address");
    EXPECT_EQ(dialog.IPEdit()->selectedText(), "10.0.0.300");
    EXPECT_EQ(dialog.focusWidget(), dialog.IPEdit());
    EXPECT_EQ(name.Str(), ""); // nothing is stored until both fields pass
    for (const char* bad : {"10.0.0", "10.0.0.1.2", "a.b.c.d", " 10.0.0.1", "10.0.0.1 "})
        EXPECT_NE(CUserDlg::CheckInput("Al", bad, nullptr), nullptr) << bad;

    dialog.IPEdit()->setText("192.168.0.7");
    dialog.OnOK();
    EXPECT_EQ(messages.Errors.size(), 2u);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(name.Str(), "  Big Al  ");
    EXPECT_EQ(ip.Str(), "192.168.0.7");
}

TEST_F(UserEditor, RealModalRunAnswersEnterAndEscape)
{
    // Typed into a really running dialog: Enter presses OK, Escape cancels.
    CUString name("Cy"), ip("10.0.0.3");
    {
        CUserDlg dialog(&name, &ip, nullptr);
        QTimer::singleShot(0, [&] {
            EXPECT_EQ(QApplication::activeModalWidget(), &dialog);
            dialog.NameEdit()->setText("Cyd");
            SendKey(dialog.NameEdit(), Qt::Key_Return);
        });
        EXPECT_EQ(dialog.exec(), QDialog::Accepted);
    }
    EXPECT_EQ(name.Str(), "Cyd");
    {
        CUserDlg dialog(&name, &ip, nullptr);
        QTimer::singleShot(0, [&] {
            EXPECT_EQ(dialog.NameEdit()->text(), "Cyd");
            dialog.IPEdit()->setText("10.9.9.9");
            SendKey(dialog.IPEdit(), Qt::Key_Escape);
        });
        EXPECT_EQ(dialog.exec(), QDialog::Rejected);
    }
    EXPECT_EQ(ip.Str(), "10.0.0.3");
}
