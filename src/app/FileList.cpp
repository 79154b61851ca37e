#include "FileList.h"

#include "FileRows.h"

#include <QHeaderView>

#include <memory>

namespace {
constexpr int ArgumentRole = Qt::UserRole;
}

TFileListView::TFileListView(QWidget* AParent, const QColor& ATextColour) : QTreeWidget(AParent) {
    setFrameShape(QFrame::NoFrame);
    setColumnCount(3);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setAllColumnsShowFocus(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);

    QHeaderView* h = header();
    h->setSectionsClickable(false);
    h->setSectionsMovable(false);
    h->setSortIndicatorShown(false);
    h->setStretchLastSection(false);
    h->setMinimumSectionSize(1);
    for (int i = 0; i < 3; ++i) {
        h->setSectionResizeMode(i, QHeaderView::Fixed);
        h->resizeSection(i, ColumnWidths[i]);
    }
    headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);

    QPalette pal = palette();
    pal.setColor(QPalette::Text, ATextColour);
    setPalette(pal);
}

void TFileListView::SetColumnTitles(const QString& AFirst, const QString& ASecond,
                                    const QString& AThird) {
    headerItem()->setText(0, AFirst);
    headerItem()->setText(1, ASecond);
    headerItem()->setText(2, AThird);
}

QTreeWidgetItem* TFileListView::AddRow(const QString& ACaption, const QString& ASize,
                                       const std::string& AArgument) {
    int lo = 0;
    int hi = topLevelItemCount();
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (CompareCaptions(topLevelItem(mid)->text(0), ACaption) <= 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    auto row = std::make_unique<QTreeWidgetItem>();
    row->setText(0, ACaption);
    row->setText(1, ASize);
    row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    row->setText(2, DecodeName(AArgument));
    row->setData(2, ArgumentRole,
                 QByteArray(AArgument.data(), static_cast<qsizetype>(AArgument.size())));
    QTreeWidgetItem* added = row.get();
    insertTopLevelItem(lo, row.release());
    return added;
}

int TFileListView::SelectedCount() const {
    int n = 0;
    for (int i = 0; i < topLevelItemCount(); ++i) {
        n += topLevelItem(i)->isSelected() ? 1 : 0;
    }
    return n;
}

QTreeWidgetItem* TFileListView::FirstSelectedRow() const {
    return NextSelectedRow(nullptr);
}

QTreeWidgetItem* TFileListView::NextSelectedRow(const QTreeWidgetItem* AAfter) const {
    int i = AAfter ? indexOfTopLevelItem(const_cast<QTreeWidgetItem*>(AAfter)) + 1 : 0;
    if (i <= 0 && AAfter) {
        return nullptr;
    }
    for (; i < topLevelItemCount(); ++i) {
        if (topLevelItem(i)->isSelected()) {
            return topLevelItem(i);
        }
    }
    return nullptr;
}

QString TFileListView::RowCaption(const QTreeWidgetItem& ARow) {
    return ARow.text(0);
}

std::string TFileListView::RowArgument(const QTreeWidgetItem& ARow) {
    const QByteArray bytes = ARow.data(2, ArgumentRole).toByteArray();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}
