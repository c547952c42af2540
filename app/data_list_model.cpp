#include "app/data_list_model.hpp"

#include <QMetaObject>
#include <algorithm>

#include "core/charset.hpp"

namespace zolt {

namespace {
const char* const kHeaders[kColumnCount] = {"ID", "原网址", "转换后", "状态"};

// The head of a cell the list can show: a gateway may answer with a whole web page, and
// decoding all of it on every repaint would stall the window.
Text shown_head(const DataList& list, int row, int column) {
    Text head = list.read_cell_head(row, column, DataListModel::kShownBytes);
    if (static_cast<int>(head.size()) < DataListModel::kShownBytes) return head;
    // Cut before a two-byte character the limit split, rather than show it as not GBK.
    std::size_t whole = 0;
    while (whole < head.size()) {
        const std::size_t step = static_cast<unsigned char>(head[whole]) >= 0x80 ? 2 : 1;
        if (whole + step > head.size()) break;
        whole += step;
    }
    head.resize(whole);
    return head;
}
}  // namespace

QString display_text(std::string_view gbk) {
    if (gbk.empty()) return {};
    // Plain ASCII is the same in both encodings and is most of what a list holds.
    if (std::all_of(gbk.begin(), gbk.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        return QString::fromLatin1(gbk.data(), static_cast<qsizetype>(gbk.size()));
    }
    const std::string utf8 = utf8_from_gbk(gbk);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

DataListModel::DataListModel(DataList& list, QObject* parent)
    : QAbstractTableModel(parent), list_(list) {
    drain_timer_.setSingleShot(true);
    connect(&drain_timer_, &QTimer::timeout, this, &DataListModel::drain);
    since_drain_.start();
    // Whatever the list held before the model existed is taken over whole.
    const DataList::Changes now = list_.take_changes();
    rows_ = now.row_count;
    generation_ = now.generation;
    list_.set_change_listener(
        [this] { QMetaObject::invokeMethod(this, &DataListModel::wake, Qt::QueuedConnection); });
}

DataListModel::~DataListModel() { list_.set_change_listener(nullptr); }

int DataListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

int DataListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant DataListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows_) return {};
    switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            return display_text(shown_head(list_, index.row(), index.column()));
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
        default:
            return {};
    }
}

QVariant DataListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) return {};
    if (role == Qt::DisplayRole) return QString::fromUtf8(kHeaders[section]);
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    }
    return {};
}

Qt::ItemFlags DataListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void DataListModel::wake() {
    if (drain_timer_.isActive()) return;
    const qint64 wait = kDrainGapMs - since_drain_.elapsed();
    if (wait <= 0) {
        drain();
    } else {
        drain_timer_.start(static_cast<int>(wait));
    }
}

void DataListModel::drain() {
    drain_timer_.stop();
    since_drain_.restart();
    const DataList::Changes changes = list_.take_changes();
    if (changes.generation != generation_) {
        beginResetModel();
        generation_ = changes.generation;
        rows_ = changes.row_count;
        endResetModel();
        return;
    }
    if (changes.row_count > rows_) {
        beginInsertRows(QModelIndex(), rows_, changes.row_count - 1);
        rows_ = changes.row_count;
        endInsertRows();
    }
    const int last = std::min(changes.last_dirty, rows_ - 1);
    if (changes.first_dirty >= 0 && changes.first_dirty <= last) {
        emit dataChanged(index(changes.first_dirty, 0), index(last, kColumnCount - 1),
                         {Qt::DisplayRole, Qt::ToolTipRole});
    }
}

}  // namespace zolt
