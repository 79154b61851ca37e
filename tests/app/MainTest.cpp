#include "Main.h"
#include "AppTestSupport.h"
#include "Connect.h"
#include "FileRows.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QMouseEvent>

#include <cstdlib>
#include <fstream>

namespace {

struct TEnvCase {
    QStringList Arguments;
    const char* LcAll;
    const char* LcMessages;
    const char* Lang;
    bool Swedish;
};

TEST(IsSwedish, FirstArgumentOrLocaleVariablesDecide) {
    const TEnvCase cases[] = {
        {{"/SWEDISH"}, nullptr, nullptr, "en_US.UTF-8", true},
        {{"/swedish"}, nullptr, nullptr, nullptr, true},
        {{"/Swedish", "more", "args"}, nullptr, nullptr, nullptr, true},
        {{"/SWEDISHX"}, nullptr, nullptr, "sv_SE.UTF-8", false},
        {{"other"}, "sv_SE.UTF-8", nullptr, "sv_SE.UTF-8", false},
        {{"other", "/SWEDISH"}, nullptr, nullptr, nullptr, false},
        {{}, nullptr, nullptr, "sv_SE.UTF-8", true},
        {{}, nullptr, nullptr, "sv_SE", true},
        {{}, nullptr, nullptr, "sv_FI.UTF-8", false},
        {{}, nullptr, nullptr, "en_US.UTF-8", false},
        {{}, nullptr, nullptr, nullptr, false},
        {{}, "sv_SE.UTF-8", "en_US.UTF-8", "en_US.UTF-8", true},
        {{}, "en_US.UTF-8", "sv_SE.UTF-8", "sv_SE.UTF-8", false},
        {{}, "", "sv_SE.UTF-8", "en_US.UTF-8", true}, // empty means not set
        {{}, "", "", "sv_SE.ISO-8859-1", true},
        {{}, "C", nullptr, "sv_SE.UTF-8", false},
        // An address is left out: a link opened from the desktop follows the
        // locale, and the switch works on either side of it.
        {{"ftp://h/"}, nullptr, nullptr, "sv_SE.UTF-8", true},
        {{"FTPS://h/", "/SWEDISH"}, nullptr, nullptr, "en_US.UTF-8", true},
        {{"http://h/", "other"}, nullptr, nullptr, "sv_SE.UTF-8", false},
    };
    const char* const names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::string saved[3];
    bool had[3];
    for (int i = 0; i < 3; ++i) {
        const char* v = std::getenv(names[i]);
        had[i] = v != nullptr;
        saved[i] = v ? v : "";
    }
    for (const TEnvCase& c : cases) {
        const char* values[] = {c.LcAll, c.LcMessages, c.Lang};
        for (int i = 0; i < 3; ++i) {
            values[i] ? ::setenv(names[i], values[i], 1) : ::unsetenv(names[i]);
        }
        EXPECT_EQ(DecideSwedish(c.Arguments), c.Swedish)
            << c.Arguments.join(' ').toStdString() << " LC_ALL=" << (c.LcAll ? c.LcAll : "-")
            << " LC_MESSAGES=" << (c.LcMessages ? c.LcMessages : "-")
            << " LANG=" << (c.Lang ? c.Lang : "-");
    }
    for (int i = 0; i < 3; ++i) {
        had[i] ? ::setenv(names[i], saved[i].c_str(), 1) : ::unsetenv(names[i]);
    }
}

TEST(IsSwedish, PickTextFollowsTheChoice) {
    SetSwedish(true);
    EXPECT_EQ(PickText(QStringLiteral("Fel!"), QStringLiteral("Error!")), QStringLiteral("Fel!"));
    SetSwedish(false);
    EXPECT_EQ(PickText(QStringLiteral("Fel!"), QStringLiteral("Error!")), QStringLiteral("Error!"));
}

TEST(StartUp, CaptionsStayAsSetAndSwedishBringsTheToolkitsOwnTexts) {
    for (const bool swedish : {true, false}) {
        SetSwedish(swedish);
        InitialiseApplication();
        // A display name would be appended to every window's caption by the
        // platform; without one the display name follows the plain name.
        const QString name = QCoreApplication::applicationName();
        EXPECT_EQ(name, QStringLiteral("Quorvan FTP 1.0"));
        QCoreApplication::setApplicationName(QStringLiteral("probe"));
        EXPECT_EQ(QGuiApplication::applicationDisplayName(), QStringLiteral("probe"));
        QCoreApplication::setApplicationName(name);
        QMessageBox box(QMessageBox::Question, QString(), QString(),
                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        const struct {
            QMessageBox::StandardButton Button;
            const char* English;
            const char* Swedish;
        } buttons[] = {{QMessageBox::Yes, "&Yes", "&Ja"},
                       {QMessageBox::No, "&No", "&Nej"},
                       {QMessageBox::Cancel, "Cancel", "Avbryt"}};
        for (const auto& b : buttons) {
            EXPECT_EQ(box.button(b.Button)->text(),
                      QString::fromUtf8(swedish ? b.Swedish : b.English));
        }
        EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Directory:"),
                  swedish ? QStringLiteral("Katalog:") : QStringLiteral("Directory:"));
    }
}

using MainWindow = TAppFixture;

struct TMainControl {
    QWidget& (*Control)(TfrmMain&);
    int Left, Top, Width, Height;
    const char* English;
    const char* Swedish;
};

template <auto AMember> QWidget& Get(TfrmMain& AWindow) {
    return AWindow.*AMember;
}

QString TextOf(QWidget& AWidget) {
    if (auto* b = qobject_cast<QAbstractButton*>(&AWidget)) {
        return b->text();
    }
    if (auto* g = qobject_cast<QGroupBox*>(&AWidget)) {
        return g->title();
    }
    return qobject_cast<QLabel*>(&AWidget)->text();
}

TEST_F(MainWindow, ControlsCaptionsAndGeometryInBothLanguages) {
    const TMainControl controls[] = {
        {&Get<&TfrmMain::lblTitle>, 16, 16, 153, 17, "Quorvan FTP 1.0", "Quorvan FTP 1.0"},
        {&Get<&TfrmMain::btnConnect>, 16, 48, 153, 25, "&Connect...", "&Anslut..."},
        {&Get<&TfrmMain::btnDisconnect>, 16, 80, 153, 25, "Di&sconnect!", "&Koppla från!"},
        {&Get<&TfrmMain::gbTransfer>, 16, 120, 153, 41, "Transfer:", "Överföring:"},
        {&Get<&TfrmMain::lblTransfer>, 8, 16, 137, 17, "", ""},
        {&Get<&TfrmMain::gbProgress>, 16, 168, 153, 41, "Progress:", "Förlopp:"},
        {&Get<&TfrmMain::lblProgress>, 8, 16, 137, 17, "", ""},
        {&Get<&TfrmMain::btnChangeMode>, 16, 392, 153, 25, "Change &mode to ASCII!",
         "&Växla läge till ASCII!"},
        {&Get<&TfrmMain::lblRemoteFiles>, 184, 16, -1, 13, "Remote files:", "Värddatorns filer:"},
        {&Get<&TfrmMain::lvRemoteFiles>, 184, 32, 497, 145, nullptr, nullptr},
        {&Get<&TfrmMain::btnRemoteRefresh>, 184, 184, 129, 25, "&Refresh!", "&Uppdatera!"},
        {&Get<&TfrmMain::btnRemoteCreateDirectory>, 320, 184, 129, 25, "Cr&eate directory...",
         "&Skapa katalog..."},
        {&Get<&TfrmMain::btnRemoteDownload>, 456, 184, 225, 25, "&Download selected files!",
         "Ladda &ner markerade filer!"},
        {&Get<&TfrmMain::lblLocalFiles>, 184, 224, -1, 13, "Local files:", "Lokala filer:"},
        {&Get<&TfrmMain::lvLocalFiles>, 184, 240, 497, 145, nullptr, nullptr},
        {&Get<&TfrmMain::btnLocalRefresh>, 184, 392, 129, 25, "Re&fresh!", "Upp&datera!"},
        {&Get<&TfrmMain::btnLocalBrowse>, 320, 392, 129, 25, "&Browse...", "&Bläddra..."},
        {&Get<&TfrmMain::btnLocalUpload>, 456, 392, 225, 25, "&Upload selected files!",
         "&Ladda upp markerade filer!"},
    };
    for (const bool swedish : {false, true}) {
        SetSwedish(swedish);
        TfrmMain w;
        EXPECT_EQ(w.windowTitle(), QStringLiteral("Quorvan FTP 1.0"));
        EXPECT_EQ(w.size(), QSize(697, 433));
        EXPECT_EQ(w.minimumSize(), w.maximumSize());
        EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
        EXPECT_TRUE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
        for (const TMainControl& c : controls) {
            QWidget& ctl = c.Control(w);
            const QRect g = ctl.geometry();
            const char* name = c.English ? c.English : "list";
            EXPECT_EQ(g.topLeft(), QPoint(c.Left, c.Top)) << name;
            EXPECT_EQ(g.height(), c.Height) << name;
            if (c.Width >= 0) {
                EXPECT_EQ(g.width(), c.Width) << name;
            }
            if (c.English) {
                EXPECT_EQ(TextOf(ctl), QString::fromUtf8(swedish ? c.Swedish : c.English));
            }
        }
        const char* const headers[2][2][3] = {
            {{"Filename", "Size", "Name"}, {"Filnamn", "Storlek", "Namn"}},
            {{"Filename", "Size", "Path"}, {"Filnamn", "Storlek", "Sökväg"}}};
        TFileListView* lists[] = {&w.lvRemoteFiles, &w.lvLocalFiles};
        for (int l = 0; l < 2; ++l) {
            for (int col = 0; col < 3; ++col) {
                EXPECT_EQ(lists[l]->headerItem()->text(col),
                          QString::fromUtf8(headers[l][swedish ? 1 : 0][col]));
            }
        }
    }
}

TEST_F(MainWindow, LabelsShowAmpersandAndMarkupLiterally) {
    TfrmMain w;
    TfrmMain::SetFittedText(w.lblRemoteFiles, QStringLiteral("Remote files: (/a&b/<b>x</b>)"));
    EXPECT_EQ(w.lblRemoteFiles.textFormat(), Qt::PlainText);
    EXPECT_EQ(w.lblRemoteFiles.width(),
              w.lblRemoteFiles.fontMetrics().horizontalAdvance(w.lblRemoteFiles.text()));
    EXPECT_EQ(w.lblRemoteFiles.buddy(), nullptr);
}

TEST_F(MainWindow, StartsDisconnectedWithTabOrderFromConnect) {
    TfrmMain w;
    // The installed icon, built into the program: every size is there.
    for (const int size : {16, 256}) {
        EXPECT_EQ(w.windowIcon().pixmap(size).size(), QSize(size, size)) << size;
    }
    EXPECT_TRUE(w.btnConnect.isEnabled());
    EXPECT_FALSE(w.btnDisconnect.isEnabled());
    QWidget* const pane[] = {&w.lvRemoteFiles,     &w.btnRemoteRefresh, &w.btnRemoteCreateDirectory,
                             &w.btnRemoteDownload, &w.lvLocalFiles,     &w.btnLocalRefresh,
                             &w.btnLocalBrowse,    &w.btnLocalUpload,   &w.btnChangeMode};
    for (QWidget* p : pane) {
        EXPECT_FALSE(p->isEnabled());
    }
    for (QWidget* always :
         {static_cast<QWidget*>(&w.lblTitle), static_cast<QWidget*>(&w.gbTransfer),
          static_cast<QWidget*>(&w.gbProgress), static_cast<QWidget*>(&w.lblRemoteFiles),
          static_cast<QWidget*>(&w.lblLocalFiles)}) {
        EXPECT_TRUE(always->isEnabled());
    }
    EXPECT_EQ(w.lvRemoteFiles.topLevelItemCount(), 0);
    EXPECT_TRUE(w.lblTransfer.text().isEmpty());
    EXPECT_TRUE(w.lblProgress.text().isEmpty());
    EXPECT_EQ(w.CurrentRemoteDir, QStringLiteral("/"));
    EXPECT_TRUE(w.CurrentLocalDir.endsWith(QLatin1Char('/')));
    EXPECT_FALSE(w.Busy);
    EXPECT_FALSE(w.CancelRequested);

    w.SetPaneControlsEnabled(true);
    for (QWidget* p : pane) {
        EXPECT_TRUE(p->isEnabled());
    }
    EXPECT_TRUE(w.btnConnect.isEnabled());
    EXPECT_FALSE(w.btnDisconnect.isEnabled());
    w.SetPaneControlsEnabled(false);
    for (QWidget* p : pane) {
        EXPECT_FALSE(p->isEnabled());
    }

    w.show();
    QApplication::setActiveWindow(&w);
    EXPECT_EQ(QApplication::focusWidget(), &w.btnConnect);
    QWidget* const order[] = {
        &w.btnConnect,        &w.lvRemoteFiles, &w.btnRemoteRefresh, &w.btnRemoteCreateDirectory,
        &w.btnRemoteDownload, &w.lvLocalFiles,  &w.btnLocalRefresh,  &w.btnLocalBrowse,
        &w.btnLocalUpload,    &w.btnDisconnect, &w.btnChangeMode,    &w.btnConnect};
    for (size_t i = 1; i < std::size(order); ++i) {
        EXPECT_EQ(NextTabStop(order[i - 1]), order[i]) << i;
    }
}

TEST_F(MainWindow, ListsAreFixedReportViewsSortedByCaption) {
    TfrmMain w;
    const struct {
        TFileListView* List;
        QColor Text;
    } lists[] = {{&w.lvRemoteFiles, QColor(128, 0, 0)}, {&w.lvLocalFiles, QColor(0, 0, 128)}};
    for (const auto& l : lists) {
        TFileListView& lv = *l.List;
        EXPECT_EQ(lv.palette().color(QPalette::Text), l.Text);
        EXPECT_EQ(lv.selectionMode(), QAbstractItemView::ExtendedSelection);
        EXPECT_EQ(lv.selectionBehavior(), QAbstractItemView::SelectRows);
        EXPECT_EQ(lv.editTriggers(), QAbstractItemView::NoEditTriggers);
        EXPECT_FALSE(lv.header()->sectionsClickable());
        EXPECT_EQ(lv.frameShape(), QFrame::NoFrame);
        for (int col = 0; col < 3; ++col) {
            EXPECT_EQ(lv.header()->sectionSize(col), TFileListView::ColumnWidths[col]);
            EXPECT_EQ(lv.header()->sectionResizeMode(col), QHeaderView::Fixed);
        }
        lv.header()->resizeSection(0, 400);
        lv.AddRow(QStringLiteral("<N/A> Makefile"), QStringLiteral("1 B"), "Makefile");
        lv.AddRow(QStringLiteral("</> pub"), QStringLiteral("N/A"), "pub");
        lv.AddRow(QStringLiteral("<.TXT> b.txt"), QStringLiteral("2 B"), "b.txt");
        lv.AddRow(QStringLiteral("<..> .."), QStringLiteral("N/A"), "..");
        lv.AddRow(QStringLiteral("<.TXT> a.txt"), QStringLiteral("3 B"), "a\xE4.txt");
        const char* expected[] = {"<..> ..", "<.TXT> a.txt", "<.TXT> b.txt", "</> pub",
                                  "<N/A> Makefile"};
        ASSERT_EQ(lv.topLevelItemCount(), 5);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(lv.topLevelItem(i)->text(0).toStdString(), expected[i]);
        }
        // The third column shows a readable face but keeps the listed bytes.
        EXPECT_EQ(lv.topLevelItem(1)->text(2), QStringLiteral("aä.txt"));
        EXPECT_EQ(TFileListView::RowArgument(*lv.topLevelItem(1)), "a\xE4.txt");
        EXPECT_EQ(lv.topLevelItem(1)->textAlignment(1) & Qt::AlignRight, Qt::AlignRight);

        lv.topLevelItem(3)->setSelected(true);
        lv.topLevelItem(1)->setSelected(true);
        EXPECT_EQ(lv.SelectedCount(), 2);
        EXPECT_EQ(lv.FirstSelectedRow(), lv.topLevelItem(1));
        EXPECT_EQ(lv.NextSelectedRow(lv.topLevelItem(1)), lv.topLevelItem(3));
        EXPECT_EQ(lv.NextSelectedRow(lv.topLevelItem(3)), nullptr);
    }
}

// A whole directory put in at once ends exactly as adding its rows one by
// one: equal captions in arrival order, rows already present (the parent
// entry) where their caption puts them.
TEST_F(MainWindow, FillingAListOrdersRowsAsAddingThemOneByOne) {
    const char* const names[] = {"b.txt", "Makefile", "a.txt", "b.txt", "pub",  ".hidden",
                                 "a.TXT", "x.tar.gz", "",      "b.txt", "Zeta", "zeta"};
    TFileListView one(nullptr, Qt::black);
    TFileListView all(nullptr, Qt::black);
    for (TFileListView* lv : {&one, &all}) {
        lv->AddRow(QStringLiteral("<..> .."), QStringLiteral("N/A"), "..");
    }
    TFileListFill fill(all, [] { return true; });
    int i = 0;
    for (const char* name : names) {
        const QString caption = (i % 3 == 1 ? QStringLiteral("</> ") : QString()) +
                                FileRowCaption(QString::fromUtf8(name));
        // The arguments tell equal captions apart.
        const std::string argument = name + std::to_string(i++);
        one.AddRow(caption, QString::number(i), argument);
        fill.Add(caption, QString::number(i), argument);
        ASSERT_TRUE(fill.Breathe());
    }
    ASSERT_TRUE(fill.Finish());
    ASSERT_EQ(all.topLevelItemCount(), one.topLevelItemCount());
    for (int r = 0; r < one.topLevelItemCount(); ++r) {
        for (int col = 0; col < 3; ++col) {
            EXPECT_EQ(all.topLevelItem(r)->text(col), one.topLevelItem(r)->text(col)) << r;
        }
        EXPECT_EQ(TFileListView::RowArgument(*all.topLevelItem(r)),
                  TFileListView::RowArgument(*one.topLevelItem(r)));
    }
}

// A fill hands control to the event loop; whoever empties the list or fills
// it anew meanwhile wins, and the interrupted fill adds nothing after that.
TEST_F(MainWindow, InterruptedFillLeavesTheListToWhoeverTookItOver) {
    enum class TMeanwhile { Clear, NewFill, YieldSaysStop };
    const struct {
        TMeanwhile Meanwhile;
        int AtStep; // 0: while gathering, 1: while finishing
        std::vector<QString> Left;
    } cases[] = {
        {TMeanwhile::Clear, 0, {QStringLiteral("<N/A> other")}},
        {TMeanwhile::Clear, 1, {QStringLiteral("<N/A> other")}},
        {TMeanwhile::NewFill, 0, {QStringLiteral("<N/A> inner")}},
        {TMeanwhile::NewFill, 1, {QStringLiteral("<N/A> inner")}},
        {TMeanwhile::YieldSaysStop, 0, {}},
        {TMeanwhile::YieldSaysStop, 1, {}},
    };
    for (const auto& c : cases) {
        TFileListView lv(nullptr, Qt::black);
        int step = 0;
        bool done = false;
        TFileListFill fill(lv, [&] {
            if (step != c.AtStep || done) {
                return true;
            }
            done = true;
            switch (c.Meanwhile) {
            case TMeanwhile::Clear:
                lv.clear();
                lv.AddRow(QStringLiteral("<N/A> other"), QStringLiteral("1 B"), "other");
                return true;
            case TMeanwhile::NewFill: {
                lv.clear();
                TFileListFill inner(lv, [] { return true; });
                inner.Add(QStringLiteral("<N/A> inner"), 1, "inner");
                EXPECT_TRUE(inner.Finish());
                return true;
            }
            case TMeanwhile::YieldSaysStop:
                return false;
            }
            return true;
        });
        fill.Add(QStringLiteral("<N/A> outer"), 2, "outer");
        const bool gathered = fill.Breathe();
        step = 1;
        EXPECT_EQ(gathered && fill.Finish(), false);
        std::vector<QString> left;
        for (int r = 0; r < lv.topLevelItemCount(); ++r) {
            left.push_back(TFileListView::RowCaption(*lv.topLevelItem(r)));
        }
        EXPECT_EQ(left, c.Left) << int(c.Meanwhile) << " at " << c.AtStep;
    }
}

TEST_F(MainWindow, PaintsWindowFrameControlFramesAndSeparators) {
    TfrmMain w;
    const QImage img = w.grab().toImage();
    const QColor black(0, 0, 0);
    const QColor light = w.palette().color(QPalette::Light);
    const QColor dark = w.palette().color(QPalette::Dark);
    ASSERT_NE(light, dark);
    const int cw = 697;
    const int ch = 433;
    const struct {
        int X, Y;
        QColor Colour;
    } pixels[] = {
        // Window: black outline, highlight inside at the top and left,
        // shadow at the bottom and right, shadow winning where they meet.
        {0, 0, black},
        {cw - 1, 0, black},
        {0, ch - 1, black},
        {cw - 1, ch - 1, black},
        {300, 0, black},
        {0, 200, black},
        {1, 1, light},
        {300, 1, light},
        {1, 200, light},
        {cw - 3, 1, light},
        {1, ch - 2, dark},
        {300, ch - 2, dark},
        {cw - 2, 1, dark},
        {cw - 2, 200, dark},
        {cw - 2, ch - 2, dark},
        // btnConnect (16, 48, 153, 25), sunken.
        {15, 47, dark},
        {168, 47, dark},
        {15, 72, dark},
        {15, 73, light},
        {100, 73, light},
        {169, 47, light},
        {169, 73, light},
        {169, 60, light},
        // lvRemoteFiles (184, 32, 497, 145).
        {183, 31, dark},
        {183, 176, dark},
        {183, 177, light},
        {681, 31, light},
        // Separators.
        {16, 40, dark},
        {16, 41, light},
        {167, 40, dark},
        {167, 41, light},
        {184, 216, dark},
        {679, 217, light},
    };
    for (const auto& p : pixels) {
        EXPECT_EQ(img.pixel(p.X, p.Y), p.Colour.rgb()) << p.X << "," << p.Y;
    }
    EXPECT_NE(img.pixel(168, 40), dark.rgb());
    EXPECT_NE(img.pixel(680, 216), dark.rgb());
}

// The window as it is when the client holds a connection.
class TConnectedMain : public TfrmMain {
protected:
    bool SessionConnected() const override { return true; }
};

void Click(QWidget& AButton) {
    const QPointF at(AButton.width() / 2.0, AButton.height() / 2.0);
    const QPointF global = AButton.mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(&AButton, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(&AButton, &release);
}

TEST_F(MainWindow, FailedSettingsWriteReachesLastResortHandlerWhichClosesEverything) {
    for (const bool swedish : {false, true}) {
        SetSwedish(swedish);
        Answers.Messages.clear();
        // A regular file where the settings folder should be.
        const std::string blocker = Settings.Dir + "/blocker";
        std::ofstream(blocker) << "x";
        ::setenv("QUORVAN_FTP_INI", (blocker + "/QuorvanFTP.INI").c_str(), 1);

        TConnectedMain w;
        TfrmConnect dlg;
        ASSERT_EQ(frmMain, &w);
        w.btnConnect.setEnabled(false);
        w.btnDisconnect.setEnabled(true);
        w.SetPaneControlsEnabled(true);
        w.lvRemoteFiles.AddRow(QStringLiteral("</> pub"), QStringLiteral("N/A"), "pub");
        w.show();
        dlg.txtRemoteHost.setText(QStringLiteral("h"));
        dlg.txtUsername.setText(QStringLiteral("anonymous"));
        dlg.show();

        Click(dlg.btnOK);

        ASSERT_EQ(Answers.Messages.size(), 1u);
        const auto& m = Answers.Messages[0];
        EXPECT_EQ(m.Caption, swedish ? QStringLiteral("Fel!") : QStringLiteral("Error!"));
        EXPECT_EQ(m.Text, swedish ? QStringLiteral("Ett okänt fel uppstod - programmet avslutas!")
                                  : QStringLiteral("An unknown error occurred - the application "
                                                   "will terminate!"));
        EXPECT_EQ(m.Icon, TMsgIcon::miError);
        EXPECT_EQ(m.Buttons, TMsgButtons::mbOK);
        EXPECT_FALSE(w.isVisible());
        EXPECT_FALSE(dlg.isVisible());
        // Closing while connected ran Disconnect first.
        EXPECT_EQ(w.lvRemoteFiles.topLevelItemCount(), 0);
        EXPECT_TRUE(w.btnConnect.isEnabled());
        EXPECT_FALSE(w.btnDisconnect.isEnabled());
        EXPECT_FALSE(w.btnRemoteRefresh.isEnabled());
    }
}

// Something outside our guarded handlers that throws from its event handler.
class TThrowingObject : public QObject {
public:
    bool event(QEvent* AEvent) override {
        if (AEvent->type() == QEvent::User) {
            throw std::runtime_error("from an event handler");
        }
        return QObject::event(AEvent);
    }
};

TEST_F(MainWindow, ApplicationCatchesWhatEscapesAnyEventHandler) {
    TfrmMain w;
    w.show();
    TThrowingObject thrower;
    QEvent e(QEvent::User);
    EXPECT_FALSE(QApplication::sendEvent(&thrower, &e));
    ASSERT_EQ(Answers.Messages.size(), 1u);
    EXPECT_EQ(Answers.Messages[0].Caption, QStringLiteral("Error!"));
    EXPECT_FALSE(w.isVisible());
}

TEST_F(MainWindow, ClosingWhileDisconnectedLeavesTheWindowAsItWas) {
    TfrmMain w;
    w.lvLocalFiles.AddRow(QStringLiteral("<\\> Temp"), QStringLiteral("N/A"), "/tmp/Temp/");
    w.show();
    w.close();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(w.lvLocalFiles.topLevelItemCount(), 1);
    EXPECT_TRUE(Answers.Messages.empty());
}

} // namespace
