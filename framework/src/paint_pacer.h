// Painting at the display's pace. A control's model (its text) changes at
// once, as often as the program changes it; what is on screen follows at most
// kFramesPerSecond times a second. Each change asks for the next frame; all
// asks before it are served by one showing, so the last state always reaches
// the screen, at most one frame late. Frames are shown from Qt's event loop,
// never from inside the handling of a message (a 1 ms timer tick is never held
// up by a paint it caused).
#pragma once

namespace vx::fw {

class PacedView {
 public:
  // While data streams in, every frame paints the whole received view and the
  // status line anew; 30 frames keep that within the CPU a paced transfer can
  // spare (the pace benchmark: 60 frames cost about half as much again as the
  // plain client's whole work) and still read as smooth motion.
  static constexpr int kFramesPerSecond = 30;

  PacedView() = default;
  PacedView(const PacedView&) = delete;
  PacedView& operator=(const PacedView&) = delete;
  virtual ~PacedView();

 protected:
  // Asks for ShowModel at the next frame.
  void ScheduleShow();
  // Brings the widget's picture up to its model.
  virtual void ShowModel() = 0;

 private:
  friend class PaintPacer;
  bool scheduled_ = false;
};

}  // namespace vx::fw
