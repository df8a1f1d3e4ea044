#pragma once

#include <QMouseEvent>
#include <QPoint>
#include <QWidget>

// Drag-to-move for the frameless windows: a left-button press remembers where inside the
// window the cursor was, moves keep that point under the cursor, any release ends the drag.
struct WindowDrag {
    bool dragging = false;
    QPoint pressOffset;

    void press(QWidget* window, QMouseEvent* event) {
        if (event->button() != Qt::LeftButton)
            return;
        dragging = true;
        pressOffset = event->globalPosition().toPoint() - window->frameGeometry().topLeft();
    }
    void move(QWidget* window, QMouseEvent* event) const {
        if (dragging)
            window->move(event->globalPosition().toPoint() - pressOffset);
    }
    void release() { dragging = false; }
};
