#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

// The wait notice shown while the host runs the analysis. It is owned by the launcher's
// main window, so it stays in front of it, and it has no handlers of its own: its owner
// creates, hides, shows and destroys it through the static functions, which keep to one
// notice per program.
class frmISProcessing : public QWidget {
    Q_OBJECT
public:
    // Shows the notice, creating it when there is none.
    static frmISProcessing* showNotice(QWidget* owner);
    // Shows the notice again if there is one; creates none.
    static void reshowNotice();
    // Hides the notice if there is one.
    static void hideNotice();
    // Destroys the notice if there is one.
    static void closeNotice();
    // Puts the notice on the screen now, before the caller blocks waiting for the host;
    // does nothing when none is shown.
    static void paintNotice();
    // The notice, or nullptr.
    static frmISProcessing* current();

    ~frmISProcessing() override;

    // Shows the Cancel button, for a host that can stop its run.
    void offerCancel();
    void setCancelEnabled(bool enabled);

signals:
    void cancelClicked();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    explicit frmISProcessing(QWidget* owner);

    QLabel* Label1;
    QPushButton* cmdCancel;
};
