#pragma once

#include <QWidget>

class QFrame;
class QGridLayout;
class QLabel;
class QVBoxLayout;

// The PTZ panel's preview area: a frame whose box layout receives the preview window while a
// preview runs. Without one it shows why there is no picture ("No camera connected").
//
// Threading: interface thread only.
class RenderWidget : public QWidget {
    Q_OBJECT

public:
    explicit RenderWidget(QWidget* parent = nullptr);

    // Where the panel puts the preview window.
    QVBoxLayout* previewLayout() const { return _boxLayout; }
    QFrame* frame() const { return _frame; }

    // The text shown while no preview window is in the area.
    void setPlaceholderVisible(bool visible);
    bool isPlaceholderVisible() const;
    QString placeholderText() const;

private:
    QGridLayout* _gridLayout = nullptr;  // "renderWidget_gridLayout"
    QFrame* _frame = nullptr;            // "render_frame"
    QVBoxLayout* _boxLayout = nullptr;
    QLabel* _placeholder = nullptr;
};
