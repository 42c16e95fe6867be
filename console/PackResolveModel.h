// The frame resolver model: what the packet resolver views show, built from
// the codec's parse results without any widget: the layer tree of one frame,
// the rows of the data-unit grid and the description of a parameter. Every
// view (the window, a browser) only copies these into its widgets. Pure
// functions of their input and of the dictionaries, which are loaded once
// before any view exists: callable from any thread.
#pragma once

#include <QString>

#include <optional>
#include <vector>

// One line of the layer tree.
struct TResolveNode {
    QString Text;
    int Offset = -1;       // first hex character of the field in the input; -1 for none
    int Length = 0;        // its number of hex characters
    bool Error = false;    // a check of this field failed
    bool Expanded = false; // shown opened
    std::vector<TResolveNode> Children;
};

struct TResolveTree {
    std::vector<TResolveNode> Nodes;
    // Empty when the whole tree was built; otherwise the message to show
    // (the nodes built before the failure stay).
    QString ErrorMessage;
    // The frame's data items (ObjStr): what "DataBody" hands on.
    QString MapPackageStr;
};

inline constexpr const char *IllegalInstructionText =
    "Illegal instructions,analyzing failed. Please check the start & end grades of instructions.";
inline constexpr const char *AnalyzingFailedText = "Agreements analyzing failed.";

// Parses the text as one unescaped frame, exactly as given (nothing is
// unescaped or removed), and builds its access, network and application
// layer nodes.
TResolveTree BuildResolveTree(const QString &text);

// True when a serial number fits the command: reports from the equipment
// (command flag "01") are numbered 0x8000 .. 0x8FFF, everything else
// 0 .. 0x7FFF.
bool SerialIdInRange(const QString &OperateFlag, int SerialId);

// One row of the data-unit grid.
struct TMapDataRow {
    QString Value;   // the whole item, hex
    QString Len;     // its length in bytes
    QString Code;    // "0x" + parameter code
    QString Name;    // display name
    QString Content; // display value, trimmed
};

// The data items of a data unit, in order (as many as decode).
std::vector<TMapDataRow> MapDataRows(const QString &text);

// The type hint of a parameter's type code.
QString ParamTypeHint(int typeCode, const QString &ParamCode);

// The description of the parameter whose code, written "0x" + four hex
// digits, is Code: its dictionary entry taken apart, the parts separated by
// "\r\r". Nothing when the code is empty, unknown or its entry unreadable.
std::optional<QString> ParamDescription(const QString &Code);
