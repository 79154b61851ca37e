#include "FileList.h"

#include "FileRows.h"

#include <QCollator>
#include <QHeaderView>

#include <algorithm>
#include <memory>
#include <optional>

namespace {

constexpr int ArgumentRole = Qt::UserRole;
constexpr int FileRowType = QTreeWidgetItem::UserType + 1;

// One row keeps its caption, its size (as text, or as a count formatted when
// drawn) and its argument bytes; the decoded face of the argument is made
// when drawn too. Directories run to hundreds of thousands of rows, and
// every text the row need not hold is memory the user gets back.
class TFileRow final : public QTreeWidgetItem {
public:
    TFileRow(const QString& ACaption, const QString& ASizeText, int64_t ASize,
             std::string AArgument, bool ASizeIsText)
        : QTreeWidgetItem(FileRowType), FCaption(ACaption), FSizeText(ASizeText), FSize(ASize),
          FArgument(std::move(AArgument)), FSizeIsText(ASizeIsText) {}

    QVariant data(int AColumn, int ARole) const override {
        if (ARole == Qt::DisplayRole || ARole == Qt::EditRole) {
            switch (AColumn) {
            case 0:
                return FCaption;
            case 1:
                return FSizeIsText ? FSizeText : FormatSize(FSize);
            case 2:
                return ShowName(FArgument);
            default:
                break;
            }
        } else if (ARole == Qt::TextAlignmentRole && AColumn == 1) {
            return int(Qt::AlignRight | Qt::AlignVCenter);
        } else if (ARole == ArgumentRole && AColumn == 2) {
            return QByteArray(FArgument.data(), static_cast<qsizetype>(FArgument.size()));
        }
        return QTreeWidgetItem::data(AColumn, ARole);
    }

    const QString& Caption() const { return FCaption; }
    const std::string& Argument() const { return FArgument; }
    int64_t Size() const { return FSizeIsText ? -1 : FSize; }

private:
    QString FCaption;
    QString FSizeText;
    int64_t FSize;
    std::string FArgument;
    bool FSizeIsText;
};

const TFileRow* AsFileRow(const QTreeWidgetItem& ARow) {
    return ARow.type() == FileRowType ? static_cast<const TFileRow*>(&ARow) : nullptr;
}

// How long a fill may keep the event loop waiting before it yields.
constexpr qint64 YieldInterval = 25;
// Rows sorted at a time before the sorted runs are merged.
constexpr size_t SortRun = 4096;

} // namespace

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

    FResetWatch =
        connect(model(), &QAbstractItemModel::modelAboutToBeReset, this, [this] { ++FGeneration; });
}

TFileListView::~TFileListView() {
    // The tree widget empties its model when it goes, after this part of the
    // object has gone already.
    disconnect(FResetWatch);
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
        if (CompareCaptions(RowCaption(*topLevelItem(mid)), ACaption) <= 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    auto row = std::make_unique<TFileRow>(ACaption, ASize, 0, AArgument, true);
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
    int i = 0;
    if (AAfter) {
        // The model remembers where it last found a row, so a batch that
        // walks the rows in order does not search for each one.
        const QModelIndex at = indexFromItem(AAfter);
        if (!at.isValid() || at.parent().isValid()) {
            return nullptr;
        }
        i = at.row() + 1;
    }
    for (; i < topLevelItemCount(); ++i) {
        if (topLevelItem(i)->isSelected()) {
            return topLevelItem(i);
        }
    }
    return nullptr;
}

QString TFileListView::RowCaption(const QTreeWidgetItem& ARow) {
    if (const TFileRow* row = AsFileRow(ARow)) {
        return row->Caption();
    }
    return ARow.text(0);
}

std::string TFileListView::RowArgument(const QTreeWidgetItem& ARow) {
    if (const TFileRow* row = AsFileRow(ARow)) {
        return row->Argument();
    }
    const QByteArray bytes = ARow.data(2, ArgumentRole).toByteArray();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

int64_t TFileListView::RowSize(const QTreeWidgetItem& ARow) {
    const TFileRow* row = AsFileRow(ARow);
    return row ? row->Size() : -1;
}

// ---- Filling a whole list ---------------------------------------------------

struct TFileListFill::TEntry {
    std::unique_ptr<TFileRow> Row;
    std::optional<QCollatorSortKey> Key;
    // Rows with equal captions stay in the order they were added.
    size_t Order;
};

TFileListFill::TFileListFill(TFileListView& AList, TYield AYield)
    : FList(AList), FYield(std::move(AYield)), FGeneration(++AList.FGeneration),
      FPlainOrder(QLocale::system().language() == QLocale::C) {}

TFileListFill::~TFileListFill() = default;

void TFileListFill::Add(const QString& ACaption, int64_t ASize, std::string AArgument) {
    Push({std::make_unique<TFileRow>(ACaption, QString(), ASize, std::move(AArgument), false),
          std::nullopt, 0});
}

void TFileListFill::Add(const QString& ACaption, const QString& ASize, std::string AArgument) {
    Push({std::make_unique<TFileRow>(ACaption, ASize, 0, std::move(AArgument), true), std::nullopt,
          0});
}

void TFileListFill::Push(TEntry AEntry) {
    if (!FPlainOrder) {
        AEntry.Key = CaptionCollator().sortKey(AEntry.Row->Caption());
    }
    AEntry.Order = FEntries.size();
    FEntries.push_back(std::move(AEntry));
}

bool TFileListFill::Abandoned() {
    FAbandoned = FAbandoned || FList.FGeneration != FGeneration;
    return FAbandoned;
}

bool TFileListFill::Breathe() {
    if (FSinceYield.isValid() && FSinceYield.elapsed() < YieldInterval) {
        return !Abandoned();
    }
    return Yield();
}

bool TFileListFill::Yield() {
    if (Abandoned()) {
        return false;
    }
    if (FYield && !FYield()) {
        FAbandoned = true;
    }
    FSinceYield.start();
    return !Abandoned();
}

bool TFileListFill::SortedByCaptions() const {
    for (size_t i = 1; i < FEntries.size(); ++i) {
        const int c = CompareCaptions(FEntries[i - 1].Row->Caption(), FEntries[i].Row->Caption());
        if (c > 0 || (c == 0 && FEntries[i - 1].Order > FEntries[i].Order)) {
            return false;
        }
    }
    return true;
}

bool TFileListFill::Sort() {
    const auto less = [this](const TEntry& A, const TEntry& B) {
        return FPlainOrder ? A.Row->Caption().compare(B.Row->Caption()) < 0
                           : A.Key->compare(*B.Key) < 0;
    };
    // Sorted runs merged pairwise, stable throughout, with a chance to yield
    // after each step.
    const size_t n = FEntries.size();
    for (size_t i = 0; i < n; i += SortRun) {
        std::stable_sort(FEntries.begin() + i, FEntries.begin() + std::min(n, i + SortRun), less);
        if (!Breathe()) {
            return false;
        }
    }
    for (size_t width = SortRun; width < n; width *= 2) {
        for (size_t i = 0; i + width < n; i += 2 * width) {
            std::inplace_merge(FEntries.begin() + i, FEntries.begin() + i + width,
                               FEntries.begin() + std::min(n, i + 2 * width), less);
            if (!Breathe()) {
                return false;
            }
        }
    }
    if (SortedByCaptions()) {
        return true;
    }
    // The keys disagreed with the comparison somewhere (a collator whose keys
    // do not follow its own order): the comparison itself decides.
    std::sort(FEntries.begin(), FEntries.end(),
              [](const TEntry& A, const TEntry& B) { return A.Order < B.Order; });
    std::stable_sort(FEntries.begin(), FEntries.end(), [](const TEntry& A, const TEntry& B) {
        return CompareCaptions(A.Row->Caption(), B.Row->Caption()) < 0;
    });
    return Breathe();
}

bool TFileListFill::Finish() {
    // Inserting and then laying out a long list each take a while: the event
    // loop gets its turn before and after.
    if (!Sort() || !Yield()) {
        FEntries.clear();
        return false;
    }
    // A row already in the list stays before the new rows whose caption
    // equals its own, as if each new row had been added after it.
    std::vector<QString> present;
    for (int i = 0; i < FList.topLevelItemCount(); ++i) {
        present.push_back(TFileListView::RowCaption(*FList.topLevelItem(i)));
    }
    size_t passed = 0;
    QList<QTreeWidgetItem*> batch;
    int batchAt = 0;
    const auto flush = [&] {
        if (!batch.isEmpty()) {
            FList.insertTopLevelItems(batchAt, batch);
            batch.clear();
        }
    };
    for (size_t i = 0; i < FEntries.size(); ++i) {
        const QString& caption = FEntries[i].Row->Caption();
        size_t before = passed;
        while (before < present.size() && CompareCaptions(present[before], caption) <= 0) {
            ++before;
        }
        if (before != passed || batch.isEmpty()) {
            flush();
            passed = before;
            batchAt = static_cast<int>(i + passed);
        }
        batch.append(FEntries[i].Row.release());
    }
    flush();
    FEntries.clear();
    FSinceYield.invalidate();
    return Breathe();
}
