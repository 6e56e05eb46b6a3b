#pragma once

#include "shared_windows/prompts.h"

#include <QPointer>
#include <QWidget>

// Prompts shown with QMessageBox, QInputDialog and QFileDialog. With a dialog parent set,
// the boxes are centred over that window and modal to it; without one they are
// application-modal.
class QtPrompts : public Prompts {
public:
    explicit QtPrompts(QString programTitle, QWidget* dialogParent = nullptr);

    void setDialogParent(QWidget* parent) { m_dialogParent = parent; }
    QWidget* dialogParent() const { return m_dialogParent; }

    // Converts a classic filter ("Shapefile (*.shp)|*.shp", pairs joined by "|", patterns
    // by ";") into Qt's form ("Shapefile (*.shp)", patterns by " ", pairs by ";;").
    static QString qtNameFilter(const QString& classicFilter);

protected:
    Button showMessage(const QString& text, const QString& title, Icon icon,
                       Buttons buttons) override;
    QString showInput(const QString& prompt, const QString& title) override;
    QString showFileDialog(FileDialog dialog, const FileRequest& request) override;

private:
    QPointer<QWidget> m_dialogParent;
};
