// Camera parameter service, the calls the daemon makes. On the camera the
// platform library provides them; elsewhere ax_parameter.cpp reads the values
// from a text file of "Name=Value" lines named by ZUL_PARAMETER_FILE
// (default /etc/kanzo_zul/parameters.conf).
#pragma once

#include <glib.h>

G_BEGIN_DECLS

typedef struct _AXParameter AXParameter;

// Opens the service for the named application. Null, with *error set, on failure.
AXParameter* ax_parameter_new(const gchar* app_name, GError** error);

// Reads one parameter. TRUE hands over a newly allocated value in *value, which
// the caller frees with g_free; FALSE sets *error, whose message names the
// parameter and where it was looked for.
// REQUIRES: handle comes from ax_parameter_new; value is not null.
gboolean ax_parameter_get(AXParameter* handle, const gchar* name, gchar** value, GError** error);

// Releases the handle; null is accepted.
void ax_parameter_free(AXParameter* handle);

G_END_DECLS
