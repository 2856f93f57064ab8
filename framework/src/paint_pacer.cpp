#include "paint_pacer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <vector>

namespace vx::fw {

// One frame clock for every paced view of the user-interface thread, so their
// pictures change together.
class PaintPacer {
 public:
  static PaintPacer& Instance() {
    static PaintPacer pacer;
    return pacer;
  }

  void Schedule(PacedView* view) {
    if (view->scheduled_) return;
    view->scheduled_ = true;
    waiting_.push_back(view);
    QTimer* timer = Timer();
    if (timer->isActive()) return;
    constexpr qint64 kFrameMs = 1000 / PacedView::kFramesPerSecond;
    qint64 sinceLast = sinceFrame_.isValid() ? sinceFrame_.elapsed() : kFrameMs;
    timer->start(static_cast<int>(std::max<qint64>(0, kFrameMs - sinceLast)));
  }

  void Forget(PacedView* view) { std::erase(waiting_, view); }

 private:
  // The frame timer belongs to the application object, and goes with it.
  QTimer* Timer() {
    if (!timer_) {
      timer_ = new QTimer(QCoreApplication::instance());
      timer_->setSingleShot(true);
      timer_->setTimerType(Qt::CoarseTimer);
      QObject::connect(timer_, &QTimer::timeout, timer_, [this] { Frame(); });
    }
    return timer_;
  }

  void Frame() {
    sinceFrame_.start();
    std::vector<PacedView*> due;
    due.swap(waiting_);
    for (PacedView* view : due) {
      view->scheduled_ = false;
      view->ShowModel();
    }
  }

  QPointer<QTimer> timer_;
  QElapsedTimer sinceFrame_;
  std::vector<PacedView*> waiting_;
};

PacedView::~PacedView() {
  if (scheduled_) PaintPacer::Instance().Forget(this);
}

void PacedView::ScheduleShow() { PaintPacer::Instance().Schedule(this); }

}  // namespace vx::fw
