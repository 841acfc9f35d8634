#pragma once
// The program's icons, drawn at start-up: one 16x16 picture per toolbar command and the program
// icon (a note on a wave, at several sizes).
#include <QIcon>

// Command ids, as the menus, the toolbar and its icons know them.
enum Cmd : int {
    ID_OPEN = 32783, ID_PROPERTIES = 32772, ID_CLEAR = 32784, ID_EXIT = 32773,
    ID_CONVERTER = 32774, ID_PLAYER = 32775, ID_RECORDER = 32776, ID_AUMIXER = 32777,
    ID_MP3 = 32785, ID_OPTIONS = 32778, ID_EFFECTS = 32782, ID_MIDIMIXER = 32779,
    ID_HELPMAIN = 32788, ID_TUTORIAL = 32789, ID_HELPMIDIC = 32796, ID_HELPPLAYER = 32792,
    ID_HELPRECOR = 32793, ID_HELPAUMIX = 32794, ID_HELPMP3 = 32795, ID_ABOUT = 32787,
};

QIcon toolicon(int id);
QIcon appicon();
