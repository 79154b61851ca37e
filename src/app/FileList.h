#pragma once

#include <QTreeWidget>

#include <string>

class QTreeWidgetItem;

// A file list of the main window: report mode with three fixed-width
// columns, several rows selectable, whole-row selection, no editing, headers
// that do nothing, and rows kept in caption order (FileRows' comparison).
class TFileListView : public QTreeWidget {
    Q_OBJECT
public:
    TFileListView(QWidget* AParent, const QColor& ATextColour);

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

    static constexpr int ColumnWidths[3] = {250, 100, 100};
};
