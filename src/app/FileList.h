#pragma once

#include <QElapsedTimer>
#include <QTreeWidget>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QTreeWidgetItem;

// A file list of the main window: report mode with three fixed-width
// columns, several rows selectable, whole-row selection, no editing, headers
// that do nothing, and rows kept in caption order (FileRows' comparison).
class TFileListView : public QTreeWidget {
    Q_OBJECT
public:
    TFileListView(QWidget* AParent, const QColor& ATextColour);
    ~TFileListView() override;

    void SetColumnTitles(const QString& AFirst, const QString& ASecond, const QString& AThird);

    // Inserts the row where its caption belongs (after rows with an equal
    // caption). AArgument is the third column's original bytes, which every
    // command on the row uses; the third column shows their decoded face.
    QTreeWidgetItem* AddRow(const QString& ACaption, const QString& ASize,
                            const std::string& AArgument);

    int SelectedCount() const;
    // In row order; nullptr when there is none.
    QTreeWidgetItem* FirstSelectedRow() const;
    QTreeWidgetItem* NextSelectedRow(const QTreeWidgetItem* AAfter) const;

    static QString RowCaption(const QTreeWidgetItem& ARow);
    static std::string RowArgument(const QTreeWidgetItem& ARow);
    // The size the row was filled with; -1 when it shows a text instead.
    static int64_t RowSize(const QTreeWidgetItem& ARow);

    static constexpr int ColumnWidths[3] = {250, 100, 100};

private:
    friend class TFileListFill;
    // Changes whenever the rows are emptied or a fill begins, so that a fill
    // which handed control to the event loop can tell that its list moved on.
    uint64_t FGeneration = 0;
    QMetaObject::Connection FResetWatch;
};

// Puts the rows of a whole directory into a list: they are gathered off the
// list, put into caption order once and inserted together, which ends in the
// same order as adding them one by one with AddRow, rows already in the list
// included. Long fills hand control to the event loop in between (AYield);
// the fill is abandoned when the list is emptied or another fill begins
// meanwhile, or when AYield returns false, and then leaves the list alone.
class TFileListFill {
public:
    using TYield = std::function<bool()>;
    TFileListFill(TFileListView& AList, TYield AYield);
    ~TFileListFill();
    TFileListFill(const TFileListFill&) = delete;
    TFileListFill& operator=(const TFileListFill&) = delete;

    // ASize is shown formatted with FormatSize; formatting waits until the row
    // is drawn, since most rows of a long list never are.
    void Add(const QString& ACaption, int64_t ASize, std::string AArgument);
    void Add(const QString& ACaption, const QString& ASize, std::string AArgument);

    // Yields when the fill has kept the event loop waiting long enough; for
    // the caller's own long loops too. False once the fill is abandoned.
    bool Breathe();
    // Sorts and inserts what was added. False when the fill was abandoned;
    // the gathered rows are dropped then.
    bool Finish();

private:
    struct TEntry;
    void Push(TEntry AEntry);
    // True once the list was emptied or refilled by someone else, or AYield said stop.
    bool Abandoned();
    bool Yield();
    bool Sort();
    bool SortedByCaptions() const;

    TFileListView& FList;
    TYield FYield;
    uint64_t FGeneration;
    bool FAbandoned = false;
    // Plain code-unit order is what the collator does in the C locale, and
    // collation keys do not follow it there.
    bool FPlainOrder;
    std::vector<TEntry> FEntries;
    QElapsedTimer FSinceYield;
};
