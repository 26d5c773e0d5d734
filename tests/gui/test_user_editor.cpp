#include "MainDlgHarness.h"

#include "users/CUserDlg.h"

#include <QTimer>

// Each case types into a really running editor opened on "Cy" 10.0.0.3 and presses a
// key; one that stays open (as it must on bad input) is closed with result 5.
// Faults: a bad address accepted (four-digit octet, missing part, blanks), the IP
// checked before the name, input stored although refused or cancelled, a name trimmed.
TEST(UserEditor, OnlyValidInputIsStoredWholeAndTheWrongFieldIsSelected)
{
    struct Case {
        const char *what, *name, *ip;
        Qt::Key key;
        const char* error; // and the field that then has the focus, all selected
        int result;
        const char *storedName, *storedIP;
    } cases[] = {
        {"both empty: the name is asked first", "", "", Qt::Key_Return, "Enter a name", 5, "Cy",
         "10.0.0.3"},
        {"an octet over 255", "Al", "10.0.0.300", Qt::Key_Return, "Enter a valid IP address", 5,
         "Cy", "10.0.0.3"},
        {"a four-digit octet", "Al", "10.0.0.0001", Qt::Key_Return, "Enter a valid IP address", 5,
         "Cy", "10.0.0.3"},
        {"three parts", "Al", "10.0.0", Qt::Key_Return, "Enter a valid IP address", 5, "Cy",
         "10.0.0.3"},
        {"five parts", "Al", "10.0.0.1.2", Qt::Key_Return, "Enter a valid IP address", 5, "Cy",
         "10.0.0.3"},
        {"a blank before", "Al", " 10.0.0.1", Qt::Key_Return, "Enter a valid IP address", 5, "Cy",
         "10.0.0.3"},
        {"letters", "Al", "a.b.c.d", Qt::Key_Return, "Enter a valid IP address", 5, "Cy",
         "10.0.0.3"},
        {"Escape after typing keeps both", "Xavier", "10.9.9.9", Qt::Key_Escape, nullptr, 0, "Cy",
         "10.0.0.3"},
        {"blanks in a name are kept", "  Big Al  ", "192.168.0.7", Qt::Key_Return, nullptr, 1,
         "  Big Al  ", "192.168.0.7"},
    };
    for (const Case& c : cases) {
        CUString name("Cy"), ip("10.0.0.3");
        CUserDlg dialog(&name, &ip, nullptr);
        MessageRecorder messages;
        QString shown, focusText, selected;
        QTimer::singleShot(0, [&] {
            shown = dialog.windowTitle() + "|" + dialog.NameEdit()->text() + "|" +
                    dialog.IPEdit()->text();
            for (QLineEdit* edit : {dialog.NameEdit(), dialog.IPEdit()})
                edit->clear(), QTest::keyClicks(edit, edit == dialog.NameEdit() ? c.name : c.ip);
            QTest::keyClick(dialog.IPEdit(), c.key);
            if (auto* edit = qobject_cast<QLineEdit*>(dialog.focusWidget());
                edit && dialog.isVisible())
                focusText = edit->text(), selected = edit->selectedText();
            if (dialog.isVisible())
                dialog.done(5);
        });
        EXPECT_EQ(dialog.exec(), c.result) << c.what;
        EXPECT_EQ(shown, "Add User|Cy|10.0.0.3") << c.what;
        EXPECT_EQ(messages.Errors, c.error ? Strings{c.error} : Strings{}) << c.what;
        // The field to correct has the focus, its whole text selected.
        const char* field = !c.error ? "" : std::string(c.error) == "Enter a name" ? c.name : c.ip;
        EXPECT_EQ(focusText.toStdString(), field) << c.what;
        EXPECT_EQ(selected, focusText) << c.what;
        EXPECT_EQ(name.Str() + "|" + ip.Str(), std::string(c.storedName) + "|" + c.storedIP)
            << c.what;
    }
}
