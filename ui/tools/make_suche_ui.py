#!/usr/bin/env python3
"""The search window's design: the table below (positions in twips, 15 per pixel) is the one
source of ui/suche.ui and of the names app/suche.h uses for its controls.

    make_suche_ui.py > ui/suche.ui              writes the form
    make_suche_ui.py --check SUCHE_UI SUCHE_H   fails, saying why, when the committed form is
                                                not this table's output or suche.h names a
                                                control, type box or caption the table lacks
"""
import re
import sys
from xml.sax.saxutils import escape

TPP = 15
MS = ("MS Sans Serif", 8.25, False)
MSB = ("MS Sans Serif", 8.25, True)
SMALL = ("Small Fonts", 6.75, False)
VERDANA = ("Verdana", 8.25, False)
TNR = ("Times New Roman", 15.75, True)
DEFAULT = MS

# name, class, parent, text, tooltip, font, (left, top, width, height), tab, extra props
C = []
def add(name, cls, parent, text, tip, font, geo, tab, **extra):
    C.append(dict(name=name, cls=cls, parent=parent, text=text, tip=tip, font=font, geo=geo, tab=tab, extra=extra))

add("PictureUnten", "QFrame", "Suche", None, None, DEFAULT, (0, 5910, 10020, 290), 57)
add("Label1", "QLabel", "PictureUnten", "", None, MS, (15, 0, 45, 195), 58)
add("cmdDiaShow", "QToolButton", "Suche", "Dia-Show", "Zeigt gefundene Grafikdateien fortlaufend an (Diashow).", MS, (8640, 4080, 1195, 855), 44, enabled=False)
add("Frame2", "QGroupBox", "Suche", "", None, MS, (5880, 5040, 3975, 615), 38, visible=False)
add("HScroll1", "QScrollBar", "Suche", None, None, DEFAULT, (5880, 3720, 3855, 255), 31, visible=False, orientation=True)
add("Picture2", "QFrame", "Suche", None, None, DEFAULT, (5880, 280, 3885, 3400), 30)
add("Frame1", "QGroupBox", "Suche", "Suchkriterien  ", None, MS, (120, 3720, 5655, 1935), 11)
add("cmdAbbruch", "QToolButton", "Suche", "&Abbrechen", None, MS, (7260, 4080, 1195, 855), 10, enabled=False)
add("cmdSearch", "QToolButton", "Suche", "&Suchen", "Bilddateien suchen", MS, (5895, 4065, 1195, 855), 9)
add("Picture1", "QFrame", "Suche", None, None, DEFAULT, (120, 280, 5625, 3375), 0)
add("lblS", "QLabel", "Suche", " Suche in Ordner: ", None, MS, (0, 5700, 1290, 195), 59, visible=False)
add("Label6", "QLabel", "Suche", "-wendro-", None, MS, (120, 45, 555, 195), 29, fg="#ffffff")
add("Label4", "QLabel", "Suche", "Vorschaubild         (Click-> Bild zum Clipboard)", None, MS, (6120, 50, 3225, 195), 27)
add("Check2", "QCheckBox", "Frame2", "Check2", "Endlosanzeige", DEFAULT, (1320, 360, 255, 195), 45)
add("HScroll2", "QScrollBar", "Frame2", None, None, DEFAULT, (240, 360, 975, 150), 42, orientation=True)
add("Command4", "QPushButton", "Frame2", "Stop", "Diashow stoppen", MS, (3360, 240, 495, 255), 41)
add("Command3", "QPushButton", "Frame2", "Next", "Nächstes Bild", MS, (2760, 240, 495, 255), 40)
add("Command1", "QPushButton", "Frame2", "Start", "Diashow starten", MS, (1800, 240, 615, 255), 39)
add("Label9", "QLabel", "Frame2", "Anzeigedauer", None, MS, (120, 120, 975, 195), 43)
add("TextBox1", "fotarik::TextView", "Picture2", "TextBox1", None, VERDANA, (0, 0, 3780, 3285), 52, visible=False)
add("Label8", "QLabel", "Picture2", "Vorschaubildfeld", None, TNR, (240, 1440, 3450, 600), 37, fg="#ffffff")
add("Anzeige1", "QLabel", "Picture2", None, "\"Click\" auf Bild -> zum Clipboard (in Originalgröße)", DEFAULT, (0, 0, 3250, 3250), None, visible=False)

CHK = [  # index, caption, left, top, width, tab, ticked
    (0, "BMP", 120, 480, 735, 12, False), (1, "WMF", 1500, 840, 795, 13, False),
    (2, "ICO", 120, 1200, 735, 14, False), (3, "JPG", 1500, 480, 795, 15, True),
    (4, "GIF", 840, 480, 555, 16, False), (5, "DIB", 840, 840, 615, 17, False),
    (6, "EMF", 1500, 1200, 735, 18, False), (7, "CUR", 840, 1200, 615, 19, False),
    (8, "WAV", 4800, 480, 735, 24, False), (9, "AVI", 120, 1560, 735, 32, False),
    (10, "MID", 4800, 840, 735, 33, False), (11, "TXT", 3600, 480, 735, 20, False),
    (12, "ASC", 3600, 840, 735, 21, False), (13, "INI", 3600, 1200, 735, 22, False),
    (14, "MP3", 4800, 1200, 735, 46, False), (15, "HTM, HTML", 3600, 1560, 1215, 47, False),
    (16, "PNG", 120, 840, 675, 48, False), (17, "TIF", 1500, 1560, 1035, 49, False),
    (18, "RLE", 840, 1560, 615, 50, False), (19, "JPEG", 2520, 480, 795, 53, True),
    (20, "JFIF", 2520, 840, 795, 54, True), (21, "JPE", 2520, 1200, 795, 55, True),
    (22, "TIFF", 2520, 1560, 915, 56, False),
]
for i, cap, l, t, w, tab, ticked in CHK:
    add(f"chkP_{i}", "QCheckBox", "Frame1", cap, None, SMALL, (l, t, w, 255), tab, checked=ticked)

add("Command2", "QPushButton", "Frame1", "alle", None, MS, (4860, 1560, 615, 255), 23)
add("Label7_2", "QLabel", "Frame1", "Bilder", None, MS, (120, 240, 390, 195), 36)
add("Label7_1", "QLabel", "Frame1", "Texte", None, MS, (3600, 240, 405, 195), 35)
add("Label7_0", "QLabel", "Frame1", "Sound", None, MS, (4800, 240, 465, 195), 34)
add("chkSubFolder", "QCheckBox", "Picture1", "mit Unterordnern?", None, SMALL, (120, 1920, 1575, 195), 51, checked=True)
add("lstFoundFiles", "fotarik::ListBox", "Picture1", None, "Anzuzeigende Datei auswählen.", MS, (1755, 345, 3615, 1815), 8)
add("drvList", "fotarik::DriveListBox", "Picture1", None, "Laufwerk auswählen", MS, (105, 45, 1575, 315), 5)
add("dirList", "fotarik::DirListBox", "Picture1", None, "Verzeichnis auswählen", MS, (120, 420, 1575, 1440), 4)
add("filList", "fotarik::FileListBox", "Picture1", None, None, DEFAULT, (0, 3240, 525, 615), 3, visible=False)
add("txtSearchSpec", "QLineEdit", "Picture1", "*.JPG;*.JPEG;*.JFIF;*.JPE", None, SMALL, (120, 2400, 5280, 285), 2)
add("Label5", "QLabel", "Picture1", "Click->Vorschaubild    Doppelclick->Vollbild", None, MS, (1920, 120, 3045, 195), 28)
add("Label3", "QLabel", "Picture1", "", None, MS, (3720, 3000, 1695, 255), 26)
add("Label2", "QLabel", "Picture1", "", None, MS, (1920, 3000, 1335, 255), 25)
add("lblfound", "QLabel", "Picture1", " Gefundene Dateien:       Ausgewählte Datei               Größe (in Byte)", None, MS, (120, 2760, 5175, 255), 6)
add("lblCount", "QLabel", "Picture1", "0", None, MS, (240, 3000, 1215, 255), 7)
add("lblCriteria", "QLabel", "Picture1", "Suchkriterium:", None, MS, (150, 2160, 1335, 255), 1)

CUSTOM = {
    "fotarik::ListBox": ("QListView", "listbox.h"),
    "fotarik::DriveListBox": ("QComboBox", "drivelistbox.h"),
    "fotarik::DirListBox": ("QListWidget", "dirlistbox.h"),
    "fotarik::FileListBox": ("QListWidget", "filelistbox.h"),
    "fotarik::TextView": ("QAbstractScrollArea", "textview.h"),
}
# These take no focus, and a tab stop on such a widget would be ignored.
NOFOCUS = {"QLabel", "QGroupBox", "QFrame"}


def px(v):
    return int(round(v / TPP))


def font_xml(f):
    family, size, bold = f
    return (f"<property name=\"font\"><font><family>{escape(family)}</family>"
            f"<pointsize>{int(round(size))}</pointsize><bold>{'true' if bold else 'false'}</bold></font></property>"
            # uic keeps whole point sizes only; the exact size is applied at start-up.
            f"<property name=\"designPointSize\" stdset=\"0\"><double>{size}</double></property>")


def widget_xml(c, indent):
    pad = " " * indent
    out = [f'{pad}<widget class="{c["cls"]}" name="{c["name"]}">']
    if c["cls"] == "QScrollBar":
        # Scroll bars take the focus and step with the keys, as the classic ones do.
        out.append(f'{pad} <property name="focusPolicy"><enum>Qt::StrongFocus</enum></property>')
    l, t, w, h = c["geo"]
    out.append(f"{pad} <property name=\"geometry\"><rect><x>{px(l)}</x><y>{px(t)}</y>"
               f"<width>{px(w)}</width><height>{px(h)}</height></rect></property>")
    out.append(pad + " " + font_xml(c["font"]))
    cls = c["cls"]
    text = c["text"]
    if text is not None:
        prop = "title" if cls == "QGroupBox" else ("plainText" if cls == "fotarik::TextView" else "text")
        out.append(f'{pad} <property name="{prop}"><string>{escape(text)}</string></property>')
    if c["tip"]:
        out.append(f'{pad} <property name="toolTip"><string>{escape(c["tip"])}</string></property>')
    ex = c["extra"]
    if ex.get("orientation"):
        out.append(f'{pad} <property name="orientation"><enum>Qt::Horizontal</enum></property>')
        out.append(f'{pad} <property name="maximum"><number>32767</number></property>')
    if "checked" in ex:
        out.append(f'{pad} <property name="checked"><bool>{"true" if ex["checked"] else "false"}</bool></property>')
    if ex.get("enabled") is False:
        out.append(f'{pad} <property name="enabled"><bool>false</bool></property>')
    if ex.get("visible") is False:
        out.append(f'{pad} <property name="visible"><bool>false</bool></property>')
    if "fg" in ex:
        out.append(f'{pad} <property name="styleSheet"><string>color: {ex["fg"]};</string></property>')
    if cls == "fotarik::TextView":
        out.append(f'{pad} <property name="verticalScrollBarPolicy"><enum>Qt::ScrollBarAlwaysOn</enum></property>')
        out.append(f'{pad} <property name="horizontalScrollBarPolicy"><enum>Qt::ScrollBarAlwaysOn</enum></property>')
    if cls == "QToolButton":
        # Graphical buttons: the icon above the caption.
        out.append(f'{pad} <property name="toolButtonStyle"><enum>Qt::ToolButtonTextUnderIcon</enum></property>')
        out.append(f'{pad} <property name="iconSize"><size><width>32</width><height>32</height></size></property>')
    if cls == "QLabel" and c["name"] in ("Label8",):
        out.append(f'{pad} <property name="wordWrap"><bool>true</bool></property>')
    if c["name"] in ("Picture1", "Picture2", "PictureUnten"):
        shape = "QFrame::NoFrame" if c["name"] == "PictureUnten" else "QFrame::Panel"
        out.append(f'{pad} <property name="frameShape"><enum>{shape}</enum></property>')
        out.append(f'{pad} <property name="frameShadow"><enum>QFrame::Sunken</enum></property>')
        out.append(f'{pad} <property name="lineWidth"><number>2</number></property>')
    for child in C:
        if child["parent"] == c["name"]:
            out.extend(widget_xml(child, indent + 1))
    out.append(f"{pad}</widget>")
    return out


def render():
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', '<ui version="4.0">', ' <class>Suche</class>',
             ' <widget class="QWidget" name="Suche">',
             '  <property name="geometry"><rect><x>227</x><y>183</y><width>668</width><height>413</height></rect></property>',
             '  <property name="windowTitle"><string>The Fotarik</string></property>',
             '  ' + font_xml(MSB),
             '  <property name="acceptDrops"><bool>true</bool></property>']
    for c in C:
        if c["parent"] == "Suche":
            lines.extend(widget_xml(c, 2))
    lines.append(" </widget>")
    lines.append(" <customwidgets>")
    for cls, (base, header) in CUSTOM.items():
        lines.append(f"  <customwidget><class>{cls}</class><extends>{base}</extends><header>{header}</header></customwidget>")
    lines.append(" </customwidgets>")
    lines.append(" <tabstops>")
    tabbed = sorted((c for c in C if c["tab"] is not None and c["cls"] not in NOFOCUS), key=lambda c: c["tab"])
    for c in tabbed:
        lines.append(f"  <tabstop>{c['name']}</tabstop>")
    lines.append(" </tabstops>")
    lines.append(" <resources/>")
    lines.append(" <connections/>")
    lines.append("</ui>")
    return "\n".join(lines) + "\n"


# Handlers named after something that is no control of the form: the form itself, hsb (the
# scroll-bar wrapper over HScroll1) and the overview window's signals.
NOT_CONTROLS = {"Form", "hsb", "Uebersicht"}
HANDLER = re.compile(r"\bvoid\s+([A-Za-z][A-Za-z0-9]*(?:_[0-9]+)?)_(?:Click|DblClick|Change|Scroll|"
                     r"GotFocus|MouseDown|MouseUp|Load|Select|Open)\s*\(")


def check_header(header):
    """What app/suche.h says about the design and the table does not."""
    names = {c["name"] for c in C}
    problems = []
    for control in HANDLER.findall(header):
        if control not in names and control not in NOT_CONTROLS and not (control + "_0") in names:
            problems.append(f"suche.h has a handler for {control}, which the design does not have")
    boxes = [c for c in C if re.fullmatch(r"chkP_[0-9]+", c["name"])]
    array = re.search(r"std::array<QCheckBox\*,\s*([0-9]+)>\s*chkP\b", header)
    if not array or int(array.group(1)) != len(boxes):
        problems.append(f"suche.h's chkP array does not hold the design's {len(boxes)} type boxes")
    captions = re.search(r"TypeCaptions\s*=\s*\{([^}]*)\}", header)
    listed = re.findall(r'"([^"]*)"', captions.group(1)) if captions else []
    designed = [cap for _, cap, *_ in sorted(CHK)]
    if listed != designed:
        problems.append(f"suche.h's TypeCaptions {listed} differ from the design's captions {designed}")
    return problems


def main(argv):
    if len(argv) == 1:
        sys.stdout.write(render())
        return 0
    if len(argv) != 4 or argv[1] != "--check":
        sys.stderr.write(__doc__)
        return 2
    problems = []
    with open(argv[2], encoding="utf-8") as f:
        if f.read() != render():
            problems.append(f"{argv[2]} is not what the design table makes: run "
                            "ui/tools/make_suche_ui.py > ui/suche.ui")
    with open(argv[3], encoding="utf-8") as f:
        problems += check_header(f.read())
    for p in problems:
        sys.stderr.write(p + "\n")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
