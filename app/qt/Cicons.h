#pragma once
// The program's icons, drawn at start-up: one 16x16 picture per toolbar command and the program
// icon (a note on a wave, at several sizes).
#include <QIcon>

QIcon toolicon(int id);
QIcon appicon();
