// The main window: widgets bound to Form1's controls model. Every command first takes what the
// widgets hold into the model, calls the procedure of Form1 or of the scheduler, then shows the
// model again; the window itself decides nothing.
#pragma once

#include <QWidget>
#include <array>
#include <vector>

#include "app/form1.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTextBrowser;

namespace veldon::ui {

class Form1Window : public QWidget {
    Q_OBJECT
public:
    explicit Form1Window(Form1& form, QWidget* parent = nullptr);

    // Model to widgets, and widgets to model.
    void showControls();
    void takeControls();

    // While a transfer runs on its own thread, the commands that change what it reads are off and
    // a progress line shows how far it got.
    void setRunning(bool running);
    void showProgress(long done, long total);
    // The facts of the status tab, as (name, value) lines.
    void showStatus(const std::vector<std::pair<std::string, std::string>>& lines);

    // Whether the close box hides the window (true: there is a tray to bring it back from).
    void setCloseHides(bool hides) { m_closeHides = hides; }
    // The program ends: a close now goes ahead. Every other close is the user's, which hides.
    void setEnding() { m_ending = true; }
    void moveToCorner();

    // For the tests and the pictures: the widgets by their program names.
    QTabWidget* SSTab1() const { return m_tabs; }
    QPushButton* Command2(int index) const { return m_command2[static_cast<std::size_t>(index)]; }
    QPushButton* Command3() const { return m_command3; }
    QLineEdit* Text4() const { return m_text4; }
    QCheckBox* Check1(int index) const { return m_check1[static_cast<std::size_t>(index)]; }

Q_SIGNALS:
    // A scheduler button (0 to 4) was clicked.
    void command2Clicked(int index);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Runs a procedure of the form between taking and showing the controls.
    template <typename Procedure>
    void command(Procedure procedure);

    Form1& m_form;
    bool m_closeHides = true;
    bool m_ending = false;
    bool m_running = false;
    bool m_pointerSet = false;

    QTabWidget* m_tabs;
    QLabel* m_label7;
    QLabel* m_lbliMsg;
    QLabel* m_progress;
    QComboBox* m_combo1;
    std::array<QLineEdit*, 4> m_text1{};
    QLabel* m_laPath;
    QPushButton* m_command1;
    QLineEdit* m_text2;
    QLineEdit* m_text4;
    QLineEdit* m_text5;
    QLineEdit* m_text6;
    std::array<QLabel*, 3> m_laRecv{};
    QPushButton* m_command3;
    std::array<QCheckBox*, 2> m_check1{};
    std::array<QGroupBox*, 2> m_frame2{};
    std::array<QRadioButton*, 4> m_option1{};
    QLineEdit* m_text3;
    QCheckBox* m_check2;
    QCheckBox* m_chkDelivery;
    QLabel* m_lblMemo;
    std::array<QPushButton*, 5> m_command2{};
    QTextBrowser* m_status;
};

}  // namespace veldon::ui
