/* The baseline of the start-up benchmark: the least a GTK program needs to
 * show a page in WebKitGTK. One window with one web view, JavaScript off like
 * the updater's, loading the URL given; prints the same marker as the
 * updater's trace when the first load has finished, then runs until closed. */
#include <gtk/gtk.h>
#include <stdio.h>
#include <webkit2/webkit2.h>

static void on_load_changed(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
  (void)view;
  (void)data;
  static gboolean done = FALSE;
  if (event == WEBKIT_LOAD_FINISHED && !done) {
    done = TRUE;
    fprintf(stderr, "First page loaded.\n");
    fflush(stderr);
  }
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: minimal-webkit URL\n");
    return 2;
  }
  gtk_init(NULL, NULL);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 545, 432);
  WebKitSettings* settings = webkit_settings_new_with_settings("enable-javascript", FALSE, NULL);
  GtkWidget* view = webkit_web_view_new_with_settings(settings);
  g_object_unref(settings);
  gtk_container_add(GTK_CONTAINER(window), view);
  g_signal_connect(view, "load-changed", G_CALLBACK(on_load_changed), NULL);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
