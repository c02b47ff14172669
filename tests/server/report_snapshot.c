/* Renders the figures report in WebKitGTK as a reader would see it: the
 * page's own scripts are off (the report needs none). Prints every figure
 * the page shows (the elements marked data-figure, as "key=text" lines) and
 * the number of charts drawn, then saves a screenshot of the whole page.
 *   report-snapshot FILE.html OUT.png   (under a display, such as Xvfb)
 * Exit status 0 when all of that worked. */
#include <cairo.h>
#include <gtk/gtk.h>
#include <stdio.h>
#include <webkit2/webkit2.h>

static const char* g_png;
static int g_status = 1;

static const char kScript[] =
    "(function(){var out='';"
    "document.querySelectorAll('[data-figure]').forEach(function(e){"
    "out+=e.getAttribute('data-figure')+'='+e.textContent+'\\n';});"
    "var charts=0;document.querySelectorAll('svg').forEach(function(s){"
    "if(s.getBoundingClientRect().width>0&&s.querySelectorAll('rect').length>0)charts++;});"
    "return out+'charts='+charts+'\\n';})()";

static void on_snapshot(GObject* view, GAsyncResult* result, gpointer data) {
  (void)data;
  GError* error = NULL;
  cairo_surface_t* surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(view), result, &error);
  if (surface == NULL) {
    fprintf(stderr, "snapshot failed: %s\n", error ? error->message : "?");
  } else if (cairo_surface_write_to_png(surface, g_png) != CAIRO_STATUS_SUCCESS) {
    fprintf(stderr, "cannot write %s\n", g_png);
  } else {
    g_status = 0;
  }
  if (surface) cairo_surface_destroy(surface);
  gtk_main_quit();
}

static void on_figures(GObject* view, GAsyncResult* result, gpointer data) {
  (void)data;
  GError* error = NULL;
  JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(view), result, &error);
  if (value == NULL) {
    fprintf(stderr, "reading the figures failed: %s\n", error ? error->message : "?");
    gtk_main_quit();
    return;
  }
  char* text = jsc_value_to_string(value);
  fputs(text, stdout);
  fflush(stdout);
  g_free(text);
  g_object_unref(value);
  webkit_web_view_get_snapshot(WEBKIT_WEB_VIEW(view), WEBKIT_SNAPSHOT_REGION_FULL_DOCUMENT,
                               WEBKIT_SNAPSHOT_OPTIONS_NONE, NULL, on_snapshot, NULL);
}

static void on_load_changed(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
  (void)data;
  if (event != WEBKIT_LOAD_FINISHED) return;
  webkit_web_view_evaluate_javascript(view, kScript, -1, "report-test", NULL, NULL, on_figures, NULL);
}

static gboolean on_timeout(gpointer data) {
  (void)data;
  fprintf(stderr, "the page did not finish in time\n");
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: report-snapshot FILE.html OUT.png\n");
    return 2;
  }
  g_png = argv[2];
  gtk_init(NULL, NULL);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 1024, 768);
  WebKitSettings* settings =
      webkit_settings_new_with_settings("enable-javascript-markup", FALSE, "hardware-acceleration-policy",
                                        WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER, NULL);
  GtkWidget* view = webkit_web_view_new_with_settings(settings);
  g_object_unref(settings);
  gtk_container_add(GTK_CONTAINER(window), view);
  g_signal_connect(view, "load-changed", G_CALLBACK(on_load_changed), NULL);
  gchar* uri = g_filename_to_uri(argv[1], NULL, NULL);
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), uri);
  g_free(uri);
  gtk_widget_show_all(window);
  g_timeout_add_seconds(60, on_timeout, NULL);
  gtk_main();
  return g_status;
}
