#pragma once

#include <QComboBox>

// A drop-down list that keeps its fixed size on the window but opens as wide as its longest
// entry, and shows its whole text as a tooltip when the closed list cuts it off.
class FittedComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit FittedComboBox(QWidget* parent = nullptr);

    // Width the open list needs to show every entry whole.
    int contentsWidth() const;
    // True when the closed list cannot show its current text whole.
    bool textCutOff() const;

    void showPopup() override;

protected:
    bool event(QEvent* event) override;
};
