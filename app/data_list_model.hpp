// The Qt face of the data list: four columns of GBK cells shown as Unicode.
//
// The model keeps its own row count and moves it forward only when it drains the list's
// changes on the window's thread, so views never see a row before it was announced.
// Changes arrive as one wake-up from whichever thread made them; bursts are gathered
// into at most one drain per kDrainGapMs.
#pragma once

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdint>

#include "batch/data_list.hpp"

namespace zolt {

class DataListModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    static constexpr int kDrainGapMs = 25;
    // A cell shows at most this many of its first bytes; what it holds stays whole.
    static constexpr int kShownBytes = 4096;

    explicit DataListModel(DataList& list, QObject* parent = nullptr);
    ~DataListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Brings the model up to date with the list now; the timer normally does this.
    void drain();

  private:
    void wake();

    DataList& list_;
    int rows_ = 0;
    std::uint64_t generation_ = 0;
    QTimer drain_timer_;
    QElapsedTimer since_drain_;
};

// GBK bytes as Unicode; a byte sequence that is not GBK shows as U+FFFD.
QString display_text(std::string_view gbk);

}  // namespace zolt
