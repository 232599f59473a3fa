// The settings window over Qt's tree widget: one row per setting, its
// editor in the value column, updated in place when values are read again
// so that focus and scrolling stay where the person left them.
#include "SettingsWindow.h"

#include "DialogWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <climits>
#include <cmath>
#include <deque>

namespace ui {

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.c_str()); }

// What a float looks like in its editor: enough decimals for its step, else three.
int DecimalsFor(double step)
{
    if (!(step > 0) || !std::isfinite(step))
        return 3;
    int decimals = 0;
    while (decimals < 6 && std::fabs(step * std::pow(10, decimals) - std::round(step * std::pow(10, decimals))) > 1e-9)
        ++decimals;
    return decimals;
}

// A float's text as the source reads it back: no exponent, no trailing zeros.
std::string FloatText(double value, int decimals)
{
    QString text = QString::number(value, 'f', decimals);
    if (text.contains('.')) {
        while (text.endsWith('0'))
            text.chop(1);
        if (text.endsWith('.'))
            text.chop(1);
    }
    return text.toStdString();
}

bool FitsSpinBox(const SettingItem& s)
{
    return s.minimum >= INT_MIN && s.maximum <= INT_MAX && s.minimum <= s.maximum && s.increment > 0 &&
           s.increment <= INT_MAX;
}

}  // namespace

class SettingsWindow::Widget : public QWidget {
public:
    Widget(QWidget* parent, SettingsSource& source) : QWidget(parent, Qt::Window), source_(source)
    {
        auto* layout = new QVBoxLayout(this);
        auto* top = new QHBoxLayout;
        filter_ = new QLineEdit(this);
        filter_->setObjectName("filter");
        filter_->setPlaceholderText("Filter by name");
        filter_->setClearButtonEnabled(true);
        level_ = new QComboBox(this);
        level_->setObjectName("level");
        level_->addItems({"Beginner", "Expert", "Guru"});
        level_->setToolTip("Which features are listed: for beginners, experts or gurus");
        top->addWidget(filter_, 1);
        top->addWidget(level_);
        layout->addLayout(top);

        tree_ = new QTreeWidget(this);
        tree_->setColumnCount(2);
        tree_->setHeaderLabels({"Feature", "Value"});
        tree_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
        tree_->header()->setStretchLastSection(true);
        tree_->setSelectionMode(QAbstractItemView::NoSelection);
        layout->addWidget(tree_, 1);

        message_ = new QLabel(this);
        message_->setObjectName("message");
        message_->setWordWrap(true);
        message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
        message_->setStyleSheet("color: #b00000");
        layout->addWidget(message_);

        auto* bottom = new QHBoxLayout;
        save_ = new QPushButton("Save…", this);
        save_->setObjectName("save");
        save_->setToolTip("Write the writable features to a file that Load… and tarvik --settings apply");
        load_ = new QPushButton("Load…", this);
        load_->setObjectName("load");
        load_->setToolTip("Apply a settings file");
        bottom->addWidget(save_);
        bottom->addWidget(load_);
        bottom->addStretch(1);
        layout->addLayout(bottom);

        connect(filter_, &QLineEdit::textChanged, this, [this] { ApplyFilter(); });
        connect(level_, &QComboBox::currentIndexChanged, this, [this] { ApplyFilter(); });
        connect(save_, &QPushButton::clicked, this, [this] { SaveFile(); });
        connect(load_, &QPushButton::clicked, this, [this] { LoadFile(); });
        connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, &QWidget::close);
        resize(520, 600);
    }

    void Refresh()
    {
        const std::vector<SettingItem> items = source_.Items();
        bool same = items.size() == rows_.size();
        for (size_t i = 0; same && i < items.size(); ++i)
            same = items[i].name == rows_[i].item.name && items[i].kind == rows_[i].item.kind &&
                   items[i].depth == rows_[i].item.depth && FitsSpinBox(items[i]) == FitsSpinBox(rows_[i].item);
        if (!same)
            Rebuild(items);
        for (size_t i = 0; i < items.size(); ++i)
            Update(rows_[i], items[i]);
        ApplyFilter();
    }

    void SendPending()
    {
        // Editors give up what is typed in them as if they were left.
        for (const Row& row : rows_) {
            if (auto* box = qobject_cast<QAbstractSpinBox*>(row.editor))
                box->interpretText();
            else if (auto* edit = qobject_cast<QLineEdit*>(row.editor); edit && edit->isModified())
                emit edit->editingFinished();
        }
        Send();
    }

    std::string message;

protected:
    void closeEvent(QCloseEvent* event) override
    {
        SendPending();
        QWidget::closeEvent(event);
    }

private:
    struct Row {
        SettingItem item;
        QTreeWidgetItem* node = nullptr;
        QWidget* editor = nullptr;
    };

    void Rebuild(const std::vector<SettingItem>& items)
    {
        tree_->clear();
        rows_.clear();
        std::vector<QTreeWidgetItem*> parents;  // by depth
        for (const SettingItem& s : items) {
            const size_t depth = size_t(std::max(0, s.depth));
            parents.resize(std::min(parents.size(), depth));
            auto* node = parents.empty() ? new QTreeWidgetItem(tree_) : new QTreeWidgetItem(parents.back());
            node->setText(0, Q(s.name));
            Row row{s, node, nullptr};
            if (s.kind == SettingKind::Category) {
                QFont bold = node->font(0);
                bold.setBold(true);
                node->setFont(0, bold);
                node->setFirstColumnSpanned(true);
                if (parents.size() == depth)
                    parents.push_back(node);
            } else {
                row.editor = MakeEditor(s);
                row.editor->setObjectName(Q(s.name));
                row.editor->setAccessibleName(Q(s.name));
                tree_->setItemWidget(node, 1, row.editor);
            }
            rows_.push_back(row);
        }
        tree_->expandAll();
        // The editors sit in the tree; Tab goes through them in its order.
        QWidget* previous = tree_;
        for (const Row& row : rows_)
            if (row.editor) {
                setTabOrder(previous, row.editor);
                previous = row.editor;
            }
        setTabOrder(previous, save_);
        setTabOrder(save_, load_);
    }

    QWidget* MakeEditor(const SettingItem& s)
    {
        const std::string name = s.name;
        switch (s.kind) {
        case SettingKind::Integer:
            if (FitsSpinBox(s)) {
                auto* box = new QSpinBox;
                box->setKeyboardTracking(false);
                connect(box, &QSpinBox::valueChanged, this,
                        [this, name](int v) { Commit(name, std::to_string(v)); });
                return box;
            }
            [[fallthrough]];  // beyond a spin box's range: typed
        case SettingKind::Text: {
            auto* edit = new QLineEdit;
            connect(edit, &QLineEdit::editingFinished, this, [this, name, edit] {
                if (edit->isModified())
                    Commit(name, edit->text().toStdString());
                edit->setModified(false);
            });
            return edit;
        }
        case SettingKind::Float: {
            auto* box = new QDoubleSpinBox;
            box->setKeyboardTracking(false);
            connect(box, &QDoubleSpinBox::valueChanged, this,
                    [this, name, box](double v) { Commit(name, FloatText(v, box->decimals())); });
            return box;
        }
        case SettingKind::Choice: {
            auto* combo = new QComboBox;
            connect(combo, &QComboBox::activated, this,
                    [this, name, combo](int i) { Commit(name, combo->itemText(i).toStdString()); });
            return combo;
        }
        case SettingKind::Switch: {
            auto* box = new QCheckBox;
            connect(box, &QCheckBox::clicked, this, [this, name](bool on) { Commit(name, on ? "true" : "false"); });
            return box;
        }
        case SettingKind::Action:
        case SettingKind::Category: break;
        }
        auto* button = new QPushButton("Run");
        connect(button, &QPushButton::clicked, this, [this, name] { Commit(name, ""); });
        return button;
    }

    // Shows what was read, without sending anything back.
    void Update(Row& row, const SettingItem& s)
    {
        row.item = s;
        const QString tip = Q(s.tip);
        row.node->setToolTip(0, tip);
        row.node->setToolTip(1, tip);
        row.node->setForeground(0, palette().brush(s.writable || s.kind == SettingKind::Category
                                                        ? QPalette::Active
                                                        : QPalette::Disabled,
                                                    QPalette::Text));
        QWidget* editor = row.editor;
        if (!editor)
            return;
        const QSignalBlocker quiet(editor);
        editor->setToolTip(tip);
        editor->setAccessibleDescription(tip);
        editor->setEnabled(s.writable);
        const QString unit = s.unit.empty() ? QString() : " " + Q(s.unit);
        if (auto* box = qobject_cast<QSpinBox*>(editor)) {
            box->setRange(int(s.minimum), int(s.maximum));
            box->setSingleStep(int(s.increment));
            box->setSuffix(unit);
            box->setValue(Q(s.value).toInt(nullptr, 0));  // a feature shown in hex reads 0x...
        } else if (auto* box = qobject_cast<QDoubleSpinBox*>(editor)) {
            const double low = std::isfinite(s.low) ? s.low : -1e300, high = std::isfinite(s.high) ? s.high : 1e300;
            box->setDecimals(DecimalsFor(s.step));
            box->setRange(low, std::max(low, high));
            if (s.step > 0)
                box->setSingleStep(s.step);
            box->setSuffix(unit);
            box->setValue(Q(s.value).toDouble());
        } else if (auto* combo = qobject_cast<QComboBox*>(editor)) {
            combo->clear();
            for (const std::string& e : s.entries)
                combo->addItem(Q(e));
            // The value may be an entry not available now; it is still what the camera has.
            if (combo->findText(Q(s.value)) < 0)
                combo->insertItem(0, Q(s.value));
            combo->setCurrentIndex(combo->findText(Q(s.value)));
        } else if (auto* check = qobject_cast<QCheckBox*>(editor)) {
            check->setChecked(s.value == "true");
        } else if (auto* edit = qobject_cast<QLineEdit*>(editor)) {
            // Text being typed stays, still to be sent when the editor is left.
            if (!edit->hasFocus() || !edit->isModified()) {
                edit->setText(Q(s.value));
                edit->setModified(false);
            }
        }
    }

    // Edits are passed on once the editor's signal has returned: reading
    // the values again may rebuild the tree, editors included. They wait
    // here, not in the event queue, so that SendPending finds them.
    void Commit(const std::string& name, const std::string& value)
    {
        pending_.emplace_back(name, value);
        QMetaObject::invokeMethod(this, [this] { Send(); }, Qt::QueuedConnection);
    }

    void Send()
    {
        if (pending_.empty())
            return;
        // In the order made, taken off one at a time so that none goes twice.
        while (!pending_.empty()) {
            const auto [name, value] = pending_.front();
            pending_.pop_front();
            Show(source_.Set(name, value));
        }
        Refresh();
    }

    void Show(const std::string& refusal)
    {
        message = refusal;
        message_->setText(Q(refusal));
    }

    void ApplyFilter()
    {
        const QString wanted = filter_->text().trimmed();
        const int level = level_->currentIndex();
        // Deepest first, so that a category knows whether anything under it is shown.
        for (size_t i = rows_.size(); i-- > 0;) {
            Row& row = rows_[i];
            bool shown;
            if (row.item.kind == SettingKind::Category) {
                shown = false;
                for (int c = 0; c < row.node->childCount() && !shown; ++c)
                    shown = !row.node->child(c)->isHidden();
            } else {
                shown = row.item.level <= level &&
                        (wanted.isEmpty() || Q(row.item.name).contains(wanted, Qt::CaseInsensitive));
            }
            row.node->setHidden(!shown);
        }
    }

    // Asks for a settings file to write or to read, in the folder used last;
    // empty when the person cancels.
    std::string AskFile(bool save)
    {
        const QString filters = "Settings (*.txt);;All files (*)";
        const QString path = save ? QFileDialog::getSaveFileName(this, "Save camera settings", folder_, filters)
                                  : QFileDialog::getOpenFileName(this, "Load camera settings", folder_, filters);
        if (!path.isEmpty())
            folder_ = QFileInfo(path).absolutePath();
        return path.toStdString();
    }

    void SaveFile()
    {
        if (const std::string path = AskFile(true); !path.empty())
            Show(source_.Save(path));
    }

    void LoadFile()
    {
        if (const std::string path = AskFile(false); !path.empty()) {
            Show(source_.Load(path));
            Refresh();
        }
    }

    SettingsSource& source_;
    QLineEdit* filter_;
    QComboBox* level_;
    QTreeWidget* tree_;
    QLabel* message_;
    QPushButton *save_, *load_;
    QString folder_;
    std::vector<Row> rows_;
    std::deque<std::pair<std::string, std::string>> pending_;  // name, value: not sent yet
};

SettingsWindow::SettingsWindow(Dialog& owner, SettingsSource& source, const std::string& title)
    : widget_(new Widget(WidgetOf(owner), source))
{
    widget_->setWindowTitle(Q(title));
}

SettingsWindow::~SettingsWindow()
{
    if (!widget_)
        return;
    // A file dialog of the window's own (Save…, Load…) may be waiting, its
    // exec under whoever ends the window now (a stop signal closing the
    // program): deleting the window then would delete that dialog from
    // under its exec. It is closed unanswered, so that the window reads
    // no file nor calls the source it is losing, and the window goes once
    // that exec has returned.
    auto ownModal = [this](QWidget* modal) {
        for (QWidget* w = modal; w; w = w->parentWidget())
            if (w == widget_)
                return true;
        return false;
    };
    bool asking = false;
    for (QWidget* modal = QApplication::activeModalWidget(); modal && ownModal(modal);
         modal = QApplication::activeModalWidget()) {
        asking = true;
        modal->close();
        if (QApplication::activeModalWidget() == modal)
            break;  // it would not close
    }
    if (!asking) {
        delete widget_.data();
        return;
    }
    widget_->hide();
    widget_->deleteLater();
}

void SettingsWindow::Show()
{
    if (!widget_)
        return;
    widget_->Refresh();
    widget_->show();
    widget_->raise();
    widget_->activateWindow();
}

void SettingsWindow::SendPending()
{
    if (widget_)
        widget_->SendPending();
}

void SettingsWindow::Close()
{
    if (widget_)
        widget_->close();
}

bool SettingsWindow::IsVisible() const { return widget_ && widget_->isVisible(); }

void SettingsWindow::Refresh()
{
    if (widget_)
        widget_->Refresh();
}

std::string SettingsWindow::Message() const { return widget_ ? widget_->message : std::string(); }
QWidget* SettingsWindow::widget() const { return widget_.data(); }

}  // namespace ui
