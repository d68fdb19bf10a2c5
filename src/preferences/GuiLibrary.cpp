// Keeps corvane_gui a valid library while the widgets are being written.
