#include "MainDlgHarness.h"

#include "app/CAboutDlg.h"
#include "window/ShellOpen.h"

#include <QLabel>
#include <QUrl>

namespace
{

// Records what the desktop was asked to open instead of opening it.
class OpenRecorder
{
public:
    OpenRecorder()
    {
        m_previous = SetShellOpener([this](const QUrl& url) {
            Opened.push_back(url.toString().toStdString());
            return 1;
        });
    }
    ~OpenRecorder() { SetShellOpener(std::move(m_previous)); }
    std::vector<std::string> Opened;

private:
    ShellOpener m_previous;
};

} // namespace

class AboutBox : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_about.show();
        QApplication::processEvents();
    }
    QLabel* Label(int id)
    {
        return m_about.findChild<QLabel*>(QStringLiteral("control%1").arg(id));
    }

    CAboutDlg m_about{nullptr};
};

TEST_F(AboutBox, ShowsVersionAndLinks)
{
    EXPECT_EQ(m_about.windowTitle(), "About KIVORA");
    EXPECT_EQ(Label(1000)->text(), "1.04");
    EXPECT_EQ(Label(1001)->text(), "https://kivora.example.net/");
    EXPECT_EQ(Label(1002)->text(), "support@kivora.example.net");
    for (int id : {1001, 1002}) {
        QLabel* link = Label(id);
        EXPECT_TRUE(link->font().underline());
        EXPECT_TRUE(link->font().bold());
        EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    }
    std::vector<std::string> texts;
    for (QLabel* label : m_about.findChildren<QLabel*>())
        texts.push_back(label->text().toStdString());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Questions or Comments:"), texts.end());
    EXPECT_NE(
        std::find(texts.begin(), texts.end(), "Find the latest release and info on KIVORA at:"),
        texts.end());
}

TEST_F(AboutBox, ClicksOpenTheLinksAndTheBoxStaysOpen)
{
    OpenRecorder desktop;
    QLabel* web = Label(1001);
    QLabel* email = Label(1002);
    // On the text, and on the empty end of each label's rectangle.
    SendClick(web, QPoint(3, web->height() / 2));
    SendClick(email, QPoint(email->width() - 2, email->height() / 2));
    SendClick(&m_about, web->geometry().bottomRight() - QPoint(1, 1));
    EXPECT_EQ(desktop.Opened, (std::vector<std::string>{"https://kivora.example.net/",
                                                        "mailto:support@kivora.example.net",
                                                        "https://kivora.example.net/"}));
    EXPECT_TRUE(m_about.isVisible());
}

TEST_F(AboutBox, ClicksBesideTheLinksOpenNothing)
{
    OpenRecorder desktop;
    SendClick(Label(1000), QPoint(2, 2));
    SendClick(&m_about, QPoint(2, 2));
    QRect web = Label(1001)->geometry();
    SendClick(&m_about, QPoint(web.center().x(), web.top() - 3));
    SendClick(&m_about, QPoint(web.center().x(), web.bottom() + 3));
    EXPECT_TRUE(desktop.Opened.empty());
    EXPECT_EQ(m_about.LinkAt(QPoint(2, 2)), nullptr);
}
