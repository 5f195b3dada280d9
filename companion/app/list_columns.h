#pragma once

#include <gtkmm.h>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvel {

// Views catch up with a merge after the iteration that applied it, still
// before the frame that shows it (GDK redraws at G_PRIORITY_HIGH_IDLE + 20),
// so that input and timers are never held behind both.
inline constexpr int kViewUpdatePriority = G_PRIORITY_HIGH_IDLE;

// One row object of a table's list store. The store is updated in place:
// a row keeps its object across refreshes while its key stays, and changed
// tells the cells bound to it to read it again.
template <typename Value> class ListRow : public Glib::Object {
public:
    static Glib::RefPtr<ListRow> create(std::string key, Value value) {
        return Glib::make_refptr_for_instance(new ListRow(std::move(key), std::move(value)));
    }

    const std::string& key() const { return key_; }
    const Value& value() const { return value_; }
    void set(Value value) {
        value_ = std::move(value);
        changed.emit();
    }

    sigc::signal<void()> changed;

private:
    ListRow(std::string key, Value value) : key_(std::move(key)), value_(std::move(value)) {}

    std::string key_;
    Value value_;
};

// Makes the store hold one row per item, in place: rows whose key is still
// there get the new value, the others go, new keys are appended in one
// splice. The table's sort model orders them, not the store.
template <typename Value, typename KeyOf>
void syncListStore(const Glib::RefPtr<Gio::ListStore<ListRow<Value>>>& store,
                   std::vector<Value> items, KeyOf keyOf) {
    std::unordered_map<std::string, size_t> byKey;
    byKey.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        byKey.emplace(keyOf(items[i]), i);
    }
    std::vector<bool> placed(items.size(), false);
    for (guint i = store->get_n_items(); i-- > 0;) {
        auto row = store->get_item(i);
        const auto found = byKey.find(row->key());
        if (found == byKey.end() || placed[found->second]) {
            store->remove(i);
            continue;
        }
        placed[found->second] = true;
        row->set(std::move(items[found->second]));
    }
    std::vector<Glib::RefPtr<ListRow<Value>>> added;
    for (size_t i = 0; i < items.size(); ++i) {
        if (!placed[i]) {
            std::string key = keyOf(items[i]);
            added.push_back(ListRow<Value>::create(std::move(key), std::move(items[i])));
        }
    }
    if (!added.empty()) {
        store->splice(store->get_n_items(), 0, added);
    }
}

// A table column: its cells show text(), and it sorts by number() when
// given, else by that text.
template <typename Value> struct ColumnDefinition {
    std::string title;
    std::function<std::string(const Value&)> text;
    std::function<double(const Value&)> number{};
    bool expand = false;
    bool numeric = false; // right-aligned
    // An icon before the text: a themed icon name or an image file's path.
    std::function<std::string(const Value&)> icon{};
};

// The row object behind a model item, or null.
template <typename Value> ListRow<Value>* rowOf(gpointer item) {
    return item == nullptr ? nullptr
                           : dynamic_cast<ListRow<Value>*>(Glib::wrap_auto(G_OBJECT(item), false));
}

namespace detail {

template <typename Value> int compareRows(gconstpointer a, gconstpointer b, gpointer data) {
    const auto& definition = *static_cast<const ColumnDefinition<Value>*>(data);
    const auto* rowA = rowOf<Value>(const_cast<gpointer>(a));
    const auto* rowB = rowOf<Value>(const_cast<gpointer>(b));
    if (rowA == nullptr || rowB == nullptr) {
        return 0;
    }
    if (definition.number) {
        const double x = definition.number(rowA->value()), y = definition.number(rowB->value());
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    return definition.text(rowA->value()).compare(definition.text(rowB->value()));
}

// A cell's text, with an icon before it for columns that have one; it
// remembers which row it follows.
class Cell : public Gtk::Box {
public:
    Cell(bool numeric, bool withIcon) : Gtk::Box(Gtk::Orientation::HORIZONTAL, 6) {
        if (withIcon) {
            append(icon);
        }
        label.set_xalign(numeric ? 1.0f : 0.0f);
        label.set_ellipsize(Pango::EllipsizeMode::END);
        label.set_hexpand(true);
        append(label);
    }

    template <typename Value>
    void show(const ColumnDefinition<Value>& definition, const Value& value) {
        label.set_text(definition.text(value));
        if (!definition.icon) {
            return;
        }
        std::string name = definition.icon(value);
        if (name == shownIcon_ && icon.get_storage_type() != Gtk::Image::Type::EMPTY) {
            return; // a file icon is read again on every set
        }
        shownIcon_ = name;
        if (name.starts_with('/')) {
            icon.set(Glib::wrap(g_file_icon_new(Gio::File::create_for_path(name)->gobj())));
        } else {
            icon.set_from_icon_name(name.empty() ? "application-x-executable" : name);
        }
    }

    Gtk::Image icon;
    Gtk::Label label;
    sigc::connection following;

private:
    std::string shownIcon_;
};

} // namespace detail

template <typename Value>
void appendColumn(Gtk::ColumnView& view, const ColumnDefinition<Value>& definition) {
    auto factory = Gtk::SignalListItemFactory::create();
    factory->signal_setup().connect(
        [numeric = definition.numeric,
         withIcon = bool(definition.icon)](const Glib::RefPtr<Gtk::ListItem>& item) {
            item->set_child(*Gtk::make_managed<detail::Cell>(numeric, withIcon));
        });
    // Shared: a resort binds every visible cell again, and a copy of the
    // definition for each would cost more than showing the cell.
    const auto shared = std::make_shared<const ColumnDefinition<Value>>(definition);
    factory->signal_bind().connect([shared](const Glib::RefPtr<Gtk::ListItem>& item) {
        auto* cell = dynamic_cast<detail::Cell*>(item->get_child());
        auto* row = rowOf<Value>(item->get_item() ? item->get_item()->gobj() : nullptr);
        if (cell == nullptr || row == nullptr) {
            return;
        }
        cell->show(*shared, row->value());
        cell->following =
            row->changed.connect([cell, row, shared] { cell->show(*shared, row->value()); });
    });
    factory->signal_unbind().connect([](const Glib::RefPtr<Gtk::ListItem>& item) {
        if (auto* cell = dynamic_cast<detail::Cell*>(item->get_child())) {
            cell->following.disconnect();
        }
    });
    auto column = Gtk::ColumnViewColumn::create(definition.title, factory);
    column->set_expand(definition.expand);
    column->set_resizable(true);
    auto* data = new ColumnDefinition<Value>(definition);
    GtkSorter* sorter =
        GTK_SORTER(gtk_custom_sorter_new(&detail::compareRows<Value>, data, [](gpointer p) {
            delete static_cast<ColumnDefinition<Value>*>(p);
        }));
    column->set_sorter(Glib::wrap(sorter));
    view.append_column(column);
}

// The list behind a table: store → filter → the view's sort order → one
// selected row. The filter keeps a row while keep(value) holds.
template <typename Value> struct TableModel {
    Glib::RefPtr<Gio::ListStore<ListRow<Value>>> store = Gio::ListStore<ListRow<Value>>::create();
    Glib::RefPtr<Gtk::FilterListModel> filtered;
    Glib::RefPtr<Gtk::SortListModel> sorted;
    Glib::RefPtr<Gtk::SingleSelection> selection;
    GtkFilter* filter = nullptr;
    std::function<bool(const Value&)> keep = [](const Value&) { return true; };

    void attach(Gtk::ColumnView& view) {
        filter = GTK_FILTER(gtk_custom_filter_new(
            [](gpointer item, gpointer self) {
                auto* row = rowOf<Value>(item);
                return static_cast<gboolean>(row != nullptr &&
                                             static_cast<TableModel*>(self)->keep(row->value()));
            },
            this, nullptr));
        filtered = Gtk::FilterListModel::create(store, Glib::wrap(filter));
        sorted = Gtk::SortListModel::create(filtered, view.get_sorter());
        selection = Gtk::SingleSelection::create(sorted);
        selection->set_autoselect(false);
        selection->set_can_unselect(true);
        view.set_model(selection);
        view.signal_realize().connect([this, &view] { keepPlace(view); });
        view.signal_unrealize().connect([this] {
            valueWatch_.disconnect();
            layoutWatch_.disconnect();
        });
    }
    TableModel() = default;
    TableModel(const TableModel&) = delete;
    TableModel& operator=(const TableModel&) = delete;
    ~TableModel() {
        pendingResort_.disconnect();
        valueWatch_.disconnect();
        layoutWatch_.disconnect();
    }

    // After the rows' values changed: filter and sort again.
    void refilter() { gtk_filter_changed(filter, GTK_FILTER_CHANGE_DIFFERENT); }
    // A resort binds every visible cell again: it runs in a main-loop
    // iteration of its own, after the update that asked for it, and only
    // when the rows are out of order.
    void resortSoon(Gtk::ColumnView& view) {
        holding_ = true;
        view.queue_allocate(); // the layout that ends the hold, even if nothing else moved
        if (pendingResort_.connected()) {
            return;
        }
        pendingResort_ = Glib::signal_idle().connect(
            [this, &view] {
                if (auto sorter = view.get_sorter(); sorter && !inOrder(sorter->gobj())) {
                    gtk_sorter_changed(sorter->gobj(), GTK_SORTER_CHANGE_DIFFERENT);
                }
                return false;
            },
            kViewUpdatePriority);
    }
    // The selected row's value, or null.
    const Value* selected() const {
        auto item = selection->get_selected_item();
        auto* row = rowOf<Value>(item ? item->gobj() : nullptr);
        return row ? &row->value() : nullptr;
    }

private:
    // The view follows the row at its top wherever a merge or a resort
    // takes it. The layout after the rows changed puts it back where the user
    // left it: at the offset of their last move, not GTK's.
    void keepPlace(Gtk::ColumnView& view) {
        auto adjustment = view.get_vadjustment();
        auto clock = view.get_frame_clock();
        userTop_ = adjustment->get_value();
        valueWatch_ = adjustment->signal_value_changed().connect(
            [this, adjustment = adjustment.get(), clock = clock.get()] {
                // Moved while the window lays out: GTK following its rows.
                static const guint layout = g_signal_lookup("layout", GDK_TYPE_FRAME_CLOCK);
                const auto* hint = g_signal_get_invocation_hint(clock->gobj());
                if (!holding_ || hint == nullptr || hint->signal_id != layout) {
                    userTop_ = adjustment->get_value();
                }
            });
        layoutWatch_ = clock->signal_layout().connect(
            [this, adjustment] {
                if (holding_) {
                    holding_ = pendingResort_.connected();
                    adjustment->set_value(userTop_);
                }
            },
            true);
    }

    bool inOrder(GtkSorter* sorter) const {
        auto* list = G_LIST_MODEL(sorted->gobj());
        const guint count = g_list_model_get_n_items(list);
        bool ordered = true;
        gpointer previous = count > 0 ? g_list_model_get_item(list, 0) : nullptr;
        for (guint i = 1; ordered && i < count; ++i) {
            gpointer item = g_list_model_get_item(list, i);
            ordered = gtk_sorter_compare(sorter, previous, item) != GTK_ORDERING_LARGER;
            g_object_unref(previous);
            previous = item;
        }
        if (previous != nullptr) {
            g_object_unref(previous);
        }
        return ordered;
    }

    sigc::connection pendingResort_;
    sigc::connection valueWatch_, layoutWatch_;
    bool holding_ = false;
    double userTop_ = 0;
};

} // namespace korvel
