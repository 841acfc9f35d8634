#pragma once
// The About box: program icon, name, version and what the program does.
#include <QDialog>

class Caboutdialog : public QDialog {
    Q_OBJECT
public:
    static const char* TITLE;
    explicit Caboutdialog(QWidget* parent = nullptr);
};
