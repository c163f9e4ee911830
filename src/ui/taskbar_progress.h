#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <optional>

class QProgressBar;

namespace zelvan {

// A progress bar mirrored on the program's launcher entry (dock or task manager) through the
// desktop's com.canonical.Unity.LauncherEntry D-Bus signal, which KDE Plasma and the GNOME
// docks understand. Holds the bar's maximum, position, state (normal or marquee) and marquee
// switch, keeps a QProgressBar in step with them and, with mirroring on, shows on the launcher:
// normal progress (position over maximum) in the normal state, an indeterminate indicator in
// the marquee state with the marquee running, nothing otherwise. Without a session bus only the
// QProgressBar is kept.
class TaskbarProgress : public QObject {
    Q_OBJECT
public:
    enum class State { Normal, Marquee };

    // What the launcher shows.
    struct Indicator {
        enum class Kind { None, Normal, Indeterminate };
        Kind kind = Kind::None;
        double fraction = 0.0;  // 0..1, for Normal
        bool operator==(const Indicator&) const = default;
    };

    // The launcher entry's desktop file, as the desktop knows the program.
    static constexpr const char* kApplicationUri = "application://zelvan.desktop";

    // Uses the session bus when there is one.
    explicit TaskbarProgress(QObject* parent = nullptr);
    // Uses the given connection (a test's private bus); a disconnected one means no launcher.
    TaskbarProgress(const QDBusConnection& connection, QObject* parent);
    ~TaskbarProgress() override;

    // The bar shown in the window; range 0..0 (Qt's busy bar) while the marquee runs.
    void SetBar(QProgressBar* bar);

    void SetMaximum(int maximum);
    void SetPosition(int position);
    void SetState(State state);
    void SetMarquee(bool on);
    void SetMirroring(bool on);

    int Maximum() const { return maximum_; }
    int Position() const { return position_; }
    State CurrentState() const { return state_; }
    bool Marquee() const { return marquee_; }

    // What the launcher shows for the current settings.
    Indicator Shown() const;
    static Indicator IndicatorFor(int maximum, int position, State state, bool marquee, bool mirroring);

    // Replaces the D-Bus signal by a function given (visible, progress 0..1) on every change:
    // for tests.
    void SetSink(std::function<void(bool visible, double progress)> sink);

private:
    void Update();
    void Send(bool visible, double progress);
    void Pulse();

    int maximum_ = 100;
    int position_ = 0;
    State state_ = State::Normal;
    bool marquee_ = false;
    bool mirroring_ = false;
    std::optional<Indicator> published_;
    double pulse_ = 0.0;
    QTimer pulseTimer_;
    QPointer<QProgressBar> bar_;
    std::optional<QDBusConnection> bus_;
    std::function<void(bool, double)> sink_;
};

}  // namespace zelvan
