#include "frontend/gtk/UserPrompts_gtk.h"

#include <algorithm>
#include <string>

#include "base/Trace.h"
#include "frontend/gtk/GtkUi_gtk.h"
#include "frontend/gtk/UiThread_gtk.h"

namespace quon {
namespace {

// Line ends of the program's texts are CR LF; a label wants LF alone.
std::string LabelText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return gtkui::ToUtf8(out);
}

gboolean KeepOpen(GtkWidget*, GdkEvent*, gpointer) { return TRUE; }

// The most height a box's text may take: the box with its icon, buttons and
// frame stays within the screen's work area, however long the text.
int MaxTextHeight(GtkWindow* owner) {
  GdkDisplay* display = gdk_display_get_default();
  GdkMonitor* monitor = nullptr;
  if (owner && gtk_widget_get_window(GTK_WIDGET(owner)))
    monitor = gdk_display_get_monitor_at_window(display, gtk_widget_get_window(GTK_WIDGET(owner)));
  if (!monitor) monitor = gdk_display_get_primary_monitor(display);
  if (!monitor && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
  GdkRectangle area{0, 0, 640, 480};
  if (monitor) gdk_monitor_get_workarea(monitor, &area);
  constexpr int kBoxChrome = 160;  // caption, borders, spacing and the button row
  return std::max(area.height - kBoxChrome, 100);
}

int RunMessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon) {
  GtkWindow* owner = gtkui::ModalOwner();
  GtkWidget* dialog = gtk_dialog_new();
  gtk_window_set_title(GTK_WINDOW(dialog), kAppTitle);
  gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_style_context_add_class(gtk_widget_get_style_context(dialog), "quon-dialog");
  gtk_style_context_add_class(gtk_widget_get_style_context(dialog), "quon-message");
  if (owner) {
    gtk_window_set_transient_for(GTK_WINDOW(dialog), owner);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER_ON_PARENT);
  } else {
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  }

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  gtk_container_set_border_width(GTK_CONTAINER(box), 12);
  GtkWidget* image = gtk_image_new_from_icon_name(icon == MsgIcon::Stop ? "dialog-error" : "dialog-warning",
                                                  GTK_ICON_SIZE_DIALOG);
  gtk_widget_set_valign(image, GTK_ALIGN_START);
  GtkWidget* label = gtk_label_new(LabelText(text).c_str());
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  // A word longer than a line (a path) is broken too, never widens the box.
  gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  gtk_label_set_max_width_chars(GTK_LABEL(label), 60);
  gtk_label_set_selectable(GTK_LABEL(label), FALSE);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.0f);
  // The text takes its natural size up to the screen's height, and scrolls
  // beyond it, so that the buttons stay on the screen.
  GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_propagate_natural_width(GTK_SCROLLED_WINDOW(scroll), TRUE);
  gtk_scrolled_window_set_propagate_natural_height(GTK_SCROLLED_WINDOW(scroll), TRUE);
  gtk_scrolled_window_set_max_content_height(GTK_SCROLLED_WINDOW(scroll), MaxTextHeight(owner));
  gtk_container_add(GTK_CONTAINER(scroll), label);
  gtk_viewport_set_shadow_type(GTK_VIEWPORT(gtk_bin_get_child(GTK_BIN(scroll))), GTK_SHADOW_NONE);
  gtk_box_pack_start(GTK_BOX(box), image, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), scroll, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), box, TRUE, TRUE, 0);

  if (buttons == MsgButtons::YesNo) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), "_Yes", GTK_RESPONSE_YES);
    gtk_dialog_add_button(GTK_DIALOG(dialog), "_No", GTK_RESPONSE_NO);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_YES);
    // A Yes/No box has no close box, and Escape does not answer it.
    gtk_window_set_deletable(GTK_WINDOW(dialog), FALSE);
    g_signal_connect(dialog, "delete-event", G_CALLBACK(KeepOpen), nullptr);
  } else {
    gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", GTK_RESPONSE_OK);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  }
  // A Yes/No box cannot be closed other than by its buttons.
  gtkui::SetFrame(dialog, buttons != MsgButtons::YesNo, false);
  gtk_widget_show_all(dialog);
  gtk_widget_grab_focus(gtk_dialog_get_widget_for_response(
      GTK_DIALOG(dialog), buttons == MsgButtons::YesNo ? GTK_RESPONSE_YES : GTK_RESPONSE_OK));

  gtkui::PushModal(GTK_WINDOW(dialog));
  int answer = kIdOk;
  for (;;) {
    int response = gtk_dialog_run(GTK_DIALOG(dialog));
    if (buttons != MsgButtons::YesNo) break;  // OK, Escape or the close box: all OK
    if (response == GTK_RESPONSE_YES) {
      answer = kIdYes;
      break;
    }
    if (response == GTK_RESPONSE_NO) {
      answer = kIdNo;
      break;
    }
  }
  gtkui::PopModal(GTK_WINDOW(dialog));
  gtk_widget_destroy(dialog);
  return answer;
}

bool RunProxyPrompt(const std::string& proxy, std::string& user, std::string& password) {
  GtkWindow* owner = gtkui::ModalOwner();
  GtkWidget* dialog = gtk_dialog_new_with_buttons("Proxy Authentication", owner, GTK_DIALOG_MODAL, "OK",
                                                  GTK_RESPONSE_OK, "Cancel", GTK_RESPONSE_CANCEL, nullptr);
  gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
  gtk_window_set_position(GTK_WINDOW(dialog), owner ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
  gtk_style_context_add_class(gtk_widget_get_style_context(dialog), "quon-dialog");
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);

  GtkWidget* grid = gtk_grid_new();
  gtk_container_set_border_width(GTK_CONTAINER(grid), 12);
  gtk_grid_set_row_spacing(GTK_GRID(grid), 6);
  gtk_grid_set_column_spacing(GTK_GRID(grid), 8);
  std::string intro = "The proxy server " + gtkui::ToUtf8(proxy) + " requires a user name and password.";
  GtkWidget* label = gtk_label_new(intro.c_str());
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(label), 50);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  GtkWidget* userLabel = gtk_label_new_with_mnemonic("_User name:");
  GtkWidget* passLabel = gtk_label_new_with_mnemonic("_Password:");
  gtk_label_set_xalign(GTK_LABEL(userLabel), 0.0f);
  gtk_label_set_xalign(GTK_LABEL(passLabel), 0.0f);
  GtkWidget* userEntry = gtk_entry_new();
  GtkWidget* passEntry = gtk_entry_new();
  gtk_entry_set_visibility(GTK_ENTRY(passEntry), FALSE);
  gtk_entry_set_activates_default(GTK_ENTRY(userEntry), TRUE);
  gtk_entry_set_activates_default(GTK_ENTRY(passEntry), TRUE);
  gtk_entry_set_text(GTK_ENTRY(userEntry), gtkui::ToUtf8(user).c_str());
  gtk_label_set_mnemonic_widget(GTK_LABEL(userLabel), userEntry);
  gtk_label_set_mnemonic_widget(GTK_LABEL(passLabel), passEntry);
  gtk_widget_set_name(userEntry, "proxy-user");
  gtk_widget_set_name(passEntry, "proxy-password");
  gtk_grid_attach(GTK_GRID(grid), label, 0, 0, 2, 1);
  gtk_grid_attach(GTK_GRID(grid), userLabel, 0, 1, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), userEntry, 1, 1, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), passLabel, 0, 2, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), passEntry, 1, 2, 1, 1);
  gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), grid, TRUE, TRUE, 0);
  gtkui::SetFrame(dialog, true, false);
  gtk_widget_show_all(dialog);
  gtk_widget_grab_focus(userEntry);

  gtkui::PushModal(GTK_WINDOW(dialog));
  bool ok = gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_OK;
  gtkui::PopModal(GTK_WINDOW(dialog));
  if (ok) {
    user = gtkui::FromUtf8(gtk_entry_get_text(GTK_ENTRY(userEntry)));
    password = gtkui::FromUtf8(gtk_entry_get_text(GTK_ENTRY(passEntry)));
  }
  gtk_widget_destroy(dialog);
  return ok;
}

}  // namespace

GtkUserPrompts::GtkUserPrompts() : UiThreadPrompts(gtkui::Ui()) {}

int GtkUserPrompts::ShowMessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon) {
  TraceMessage("MessageBox:", text);
  return RunMessageBox(text, buttons, icon);
}

bool GtkUserPrompts::ShowProxyPrompt(const std::string& proxy, std::string& user, std::string& password) {
  return RunProxyPrompt(proxy, user, password);
}

}  // namespace quon
