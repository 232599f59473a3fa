// The Aravis camera sources: "aravis" (discovery of GigE Vision and USB3 Vision
// cameras, which broadcasts), "aravis-fake" (Aravis's in-process fake camera)
// and "gige:HOST" (one GigE Vision camera at a known address, no broadcast).
#include "camfeature.h"
#include "camsource.h"

#include <arv.h>
#include <gio/gio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace cam {
namespace {

const char kAdjust[] = "GVSPAdjustPacketSize";
const char kExtendedIds[] = "GevGVSPExtendedIDMode";

// Turns an Aravis error into our code; its message goes to the trace, so that
// a user can see why a call failed.
CamError Take(GError* error, const char* what)
{
    if (!error)
        return CAM_OK;
    CamError code = CAM_ERR_IO;
    if (error->domain == ARV_DEVICE_ERROR) {
        switch (error->code) {
        case ARV_DEVICE_ERROR_WRONG_FEATURE: code = CAM_ERR_WRONG_TYPE; break;
        case ARV_DEVICE_ERROR_FEATURE_NOT_FOUND:
        case ARV_DEVICE_ERROR_NOT_FOUND: code = CAM_ERR_NOT_FOUND; break;
        case ARV_DEVICE_ERROR_NOT_CONTROLLER:
        case ARV_DEVICE_ERROR_PROTOCOL_ERROR_ACCESS_DENIED:
        case ARV_DEVICE_ERROR_PROTOCOL_ERROR_WRITE_PROTECT: code = CAM_ERR_ACCESS_DENIED; break;
        case ARV_DEVICE_ERROR_INVALID_PARAMETER:
        case ARV_DEVICE_ERROR_PROTOCOL_ERROR_INVALID_PARAMETER: code = CAM_ERR_INVALID_VALUE; break;
        default: code = CAM_ERR_IO; break;
        }
    } else if (error->domain == ARV_GC_ERROR) {
        switch (error->code) {
        case ARV_GC_ERROR_ENUM_ENTRY_NOT_FOUND:
        case ARV_GC_ERROR_OUT_OF_RANGE:
        case ARV_GC_ERROR_INVALID_PVALUE: code = CAM_ERR_INVALID_VALUE; break;
        case ARV_GC_ERROR_NODE_NOT_FOUND: code = CAM_ERR_NOT_FOUND; break;
        case ARV_GC_ERROR_READ_ONLY: code = CAM_ERR_ACCESS_DENIED; break;
        default: code = CAM_ERR_IO; break;
        }
    }
    if (TraceEnabled())
        std::fprintf(stderr, "aravis: %s: %s\n", what, error->message);
    g_error_free(error);
    return code;
}

int32_t FrameStatus(ArvBufferStatus status)
{
    switch (status) {
    case ARV_BUFFER_STATUS_SUCCESS: return CAM_FRAME_COMPLETE;
    case ARV_BUFFER_STATUS_MISSING_PACKETS:
    case ARV_BUFFER_STATUS_ABORTED:
    case ARV_BUFFER_STATUS_TIMEOUT: return CAM_FRAME_INCOMPLETE;
    case ARV_BUFFER_STATUS_SIZE_MISMATCH: return CAM_FRAME_TOO_SMALL;
    default: return CAM_FRAME_INVALID;
    }
}

// The camera's description may ask for an integer to be written in hex.
int32_t Representation(ArvGcInteger* integer)
{
    return arv_gc_integer_get_representation(integer) == ARV_GC_REPRESENTATION_HEX_NUMBER
               ? CAM_REPRESENTATION_HEX
               : CAM_REPRESENTATION_DECIMAL;
}

// Six bytes as aa:bb:cc:dd:ee:ff.
std::string MacText(const uint8_t* bytes)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2], bytes[3],
                  bytes[4], bytes[5]);
    return text;
}

// The local address that reaches a GigE camera, found by connecting a UDP
// socket to it, which sends nothing; "" when no route leads there.
std::string LocalAddressFor(GInetAddress* camera, GError** error)
{
    GSocket* socket = g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_DATAGRAM, G_SOCKET_PROTOCOL_UDP, error);
    GSocketAddress* remote = g_inet_socket_address_new(camera, 3956);
    GSocketAddress* local = nullptr;
    if (socket && g_socket_connect(socket, remote, nullptr, error))
        local = g_socket_get_local_address(socket, error);
    g_object_unref(remote);
    if (socket)
        g_object_unref(socket);
    if (!local)
        return {};
    gchar* text = g_inet_address_to_string(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(local)));
    std::string result = text ? text : "";
    g_free(text);
    g_object_unref(local);
    return result;
}

// A GigE Vision discovery command sent to one camera's address alone, and
// its answer. It takes no control, so it works on a camera that another
// program controls, or this one; nothing is broadcast (the socket may not).
class DiscoveryProbe {
public:
    static constexpr guint16 kGvcpPort = 3956;

    explicit DiscoveryProbe(GInetAddress* camera)
        : camera_(G_INET_ADDRESS(g_object_ref(camera))),
          remote_(g_inet_socket_address_new(camera, kGvcpPort)),
          socket_(g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_DATAGRAM, G_SOCKET_PROTOCOL_UDP,
                               &error_))
    {
    }
    ~DiscoveryProbe()
    {
        if (socket_)
            g_object_unref(socket_);
        if (error_)
            g_error_free(error_);
        g_object_unref(remote_);
        g_object_unref(camera_);
    }
    DiscoveryProbe(const DiscoveryProbe&) = delete;
    DiscoveryProbe& operator=(const DiscoveryProbe&) = delete;

    CamError Send()
    {
        if (!socket_) {
            CamError err = Take(error_, "discovery");
            error_ = nullptr;
            return err;
        }
        // Command key 0x42, "acknowledge required", DISCOVERY_CMD, no data, request id.
        GError* error = nullptr;
        if (g_socket_send_to(socket_, remote_, reinterpret_cast<const gchar*>(kCommand), sizeof kCommand,
                             nullptr, &error) < 0)
            return Take(error, "discovery");
        return CAM_OK;
    }

    // Whether the camera's answer arrived, waiting up to waitUs for it; model,
    // when given, receives the model name it carries.
    bool Answered(gint64 waitUs, std::string* model = nullptr, std::string* mac = nullptr)
    {
        const gint64 deadline = g_get_monotonic_time() + waitUs;
        while (socket_) {
            const gint64 left = deadline - g_get_monotonic_time();
            if (!g_socket_condition_timed_wait(socket_, G_IO_IN, std::max<gint64>(0, left), nullptr, nullptr))
                return false;
            uint8_t answer[8 + kDiscoveryDataSize + 64];
            GSocketAddress* sender = nullptr;
            const gssize n = g_socket_receive_from(socket_, &sender, reinterpret_cast<gchar*>(answer),
                                                   sizeof answer, nullptr, nullptr);
            // Only the camera asked may answer: any other host could
            // otherwise pose as it.
            const bool fromCamera = sender && G_IS_INET_SOCKET_ADDRESS(sender) &&
                g_inet_address_equal(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(sender)),
                                     camera_);
            if (sender)
                g_object_unref(sender);
            // Status 0, DISCOVERY_ACK, the whole bootstrap block, our request id.
            if (fromCamera && n >= gssize(8 + kDiscoveryDataSize) && answer[0] == 0 && answer[1] == 0 &&
                answer[2] == 0x00 && answer[3] == 0x03 && answer[6] == kCommand[6] &&
                answer[7] == kCommand[7]) {
                if (model) {
                    const char* name = reinterpret_cast<const char*>(answer + 8 + kModelNameOffset);
                    model->assign(name, strnlen(name, kModelNameSize));
                }
                if (mac)
                    *mac = MacText(answer + 8 + kMacOffset);
                return true;
            }
        }
        return false;
    }

private:
    static constexpr uint8_t kCommand[8] = {0x42, 0x01, 0x00, 0x02, 0x00, 0x00, 0x54, 0x56};
    static constexpr size_t kDiscoveryDataSize = 0xf8;  // bootstrap registers 0x0000-0x00f7
    static constexpr size_t kModelNameOffset = 0x68;
    static constexpr size_t kModelNameSize = 32;
    static constexpr size_t kMacOffset = 0x0a;  // the low two bytes of 0x0008, then 0x000c

    GInetAddress* camera_;
    GSocketAddress* remote_;
    GError* error_ = nullptr;
    GSocket* socket_;
};

constexpr guint64 kMacHighRegister = 0x0008;
constexpr guint64 kMacLowRegister = 0x000c;
constexpr guint64 kIpConfigurationRegister = 0x0014;

// Dotted text of an address Aravis handed over, which it then lets go; ""
// for none.
void StoreAddress(GInetAddress* address, char (&out)[16])
{
    out[0] = 0;
    if (!address)
        return;
    gchar* text = g_inet_address_to_string(address);
    if (text)
        g_strlcpy(out, text, sizeof out);
    g_free(text);
    g_object_unref(address);
}

void StoreAddresses(GInetAddress* ip, GInetAddressMask* mask, GInetAddress* gateway, char (&ipText)[16],
                    char (&maskText)[16], char (&gatewayText)[16])
{
    StoreAddress(ip, ipText);
    StoreAddress(gateway, gatewayText);
    maskText[0] = 0;
    if (!mask)
        return;
    // Aravis keeps the register's mask as the mask's address (its length
    // says nothing then).
    StoreAddress(G_INET_ADDRESS(g_object_ref(g_inet_address_mask_get_address(mask))), maskText);
    g_object_unref(mask);
}

class AravisDevice : public Device {
public:
    explicit AravisDevice(ArvCamera* camera) : camera_(camera), device_(arv_camera_get_device(camera)) {}
    ~AravisDevice() override
    {
        EndCapture();
        for (Announced& a : frames_)
            g_object_unref(a.buffer);
        g_object_unref(camera_);
    }

    CamError GetInt(const char* name, int64_t* value) override
    {
        return Read(name, ARV_TYPE_GC_INTEGER, arv_gc_integer_get_value, ARV_GC_INTEGER, [&](gint64 v) {
            *value = v;
            return CAM_OK;
        });
    }

    CamError GetEnum(const char* name, std::string* value) override
    {
        return Read(name, ARV_TYPE_GC_ENUMERATION, arv_gc_enumeration_get_string_value, ARV_GC_ENUMERATION,
                    [&](const char* v) {
                        if (!v)
                            return CAM_ERR_IO;
                        *value = v;
                        return CAM_OK;
                    });
    }

    CamError GetFloat(const char* name, double* value) override
    {
        return Read(name, ARV_TYPE_GC_FLOAT, arv_gc_float_get_value, ARV_GC_FLOAT, [&](double v) {
            *value = v;
            return CAM_OK;
        });
    }

    CamError GetString(const char* name, std::string* value) override
    {
        return Read(name, ARV_TYPE_GC_STRING, arv_gc_string_get_value, ARV_GC_STRING, [&](const char* v) {
            *value = v ? v : "";
            return CAM_OK;
        });
    }

    CamError GetDetail(const char* key, std::string* value) override
    {
        const bool gige = arv_camera_is_gv_device(camera_);
        if (!std::strcmp(key, "transport")) {
            *value = gige ? "GigE Vision" : arv_camera_is_uv_device(camera_) ? "USB3 Vision" : "simulated";
            return CAM_OK;
        }
        const bool local = !std::strcmp(key, "interface_address");
        if (!gige || (!local && std::strcmp(key, "address")))
            return CAM_ERR_NOT_FOUND;
        GSocketAddress* address = local ? arv_gv_device_get_interface_address(ARV_GV_DEVICE(device_))
                                        : arv_gv_device_get_device_address(ARV_GV_DEVICE(device_));
        if (!address || !G_IS_INET_SOCKET_ADDRESS(address))
            return CAM_ERR_NOT_FOUND;
        gchar* text = g_inet_address_to_string(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(address)));
        *value = text ? text : "";
        g_free(text);
        return CAM_OK;
    }

    CamError GetNetwork(CamNetworkInfo* info) override
    {
        if (!arv_camera_is_gv_device(camera_))
            return CAM_ERR_NOT_GIGE;
        ArvGvDevice* gv = ARV_GV_DEVICE(device_);
        GError* error = nullptr;
        GInetAddress *ip = nullptr, *gateway = nullptr;
        GInetAddressMask* mask = nullptr;
        if (!arv_gv_device_get_current_ip(gv, &ip, &mask, &gateway, &error))
            return Take(error, "current IP address");
        StoreAddresses(ip, mask, gateway, info->address, info->mask, info->gateway);
        if (!arv_gv_device_get_persistent_ip(gv, &ip, &mask, &gateway, &error))
            return Take(error, "persistent IP address");
        StoreAddresses(ip, mask, gateway, info->persistentAddress, info->persistentMask, info->persistentGateway);
        const ArvGvIpConfigurationMode mode = arv_gv_device_get_ip_configuration_mode(gv, &error);
        if (error)
            return Take(error, "IP configuration");
        info->mode = mode == ARV_GV_IP_CONFIGURATION_MODE_PERSISTENT_IP ? CAM_IP_MODE_PERSISTENT
                     : mode == ARV_GV_IP_CONFIGURATION_MODE_DHCP        ? CAM_IP_MODE_DHCP
                     : mode == ARV_GV_IP_CONFIGURATION_MODE_LLA         ? CAM_IP_MODE_LINK_LOCAL
                                                                        : CAM_IP_MODE_NONE;
        // The switches themselves (the bootstrap register that the
        // GevCurrentIPConfiguration... features map), and the MAC address.
        guint32 config = 0, macHigh = 0, macLow = 0;
        if (!arv_device_read_register(device_, kIpConfigurationRegister, &config, &error) ||
            !arv_device_read_register(device_, kMacHighRegister, &macHigh, &error) ||
            !arv_device_read_register(device_, kMacLowRegister, &macLow, &error))
            return Take(error, "IP configuration");
        info->persistentEnabled = config & 1u;
        info->dhcpEnabled = config & 2u;
        info->linkLocalEnabled = config & 4u;
        std::snprintf(info->macAddress, sizeof info->macAddress, "%02x:%02x:%02x:%02x:%02x:%02x",
                      (macHigh >> 8) & 0xff, macHigh & 0xff, macLow >> 24, (macLow >> 16) & 0xff,
                      (macLow >> 8) & 0xff, macLow & 0xff);
        return CAM_OK;
    }

    CamError SetPersistentIp(const std::string& address, const std::string& mask,
                             const std::string& gateway) override
    {
        if (!arv_camera_is_gv_device(camera_))
            return CAM_ERR_NOT_GIGE;
        GError* error = nullptr;
        // Aravis takes no gateway as 0.0.0.0, which is what "none" is in the register.
        if (!arv_gv_device_set_persistent_ip_from_string(ARV_GV_DEVICE(device_), address.c_str(), mask.c_str(),
                                                         gateway.empty() ? "0.0.0.0" : gateway.c_str(), &error))
            return Take(error, "persistent IP address");
        return CAM_OK;
    }

    CamError SetIpMode(int32_t mode) override
    {
        if (!arv_camera_is_gv_device(camera_))
            return CAM_ERR_NOT_GIGE;
        const ArvGvIpConfigurationMode m = mode == CAM_IP_MODE_PERSISTENT ? ARV_GV_IP_CONFIGURATION_MODE_PERSISTENT_IP
                                           : mode == CAM_IP_MODE_DHCP     ? ARV_GV_IP_CONFIGURATION_MODE_DHCP
                                                                          : ARV_GV_IP_CONFIGURATION_MODE_LLA;
        GError* error = nullptr;
        if (!arv_gv_device_set_ip_configuration_mode(ARV_GV_DEVICE(device_), m, &error))
            return Take(error, "IP configuration");
        return CAM_OK;
    }

    CamError Describe(const char* name, FeatureDescription* d) override
    {
        ArvGcFeatureNode* f = nullptr;
        if (CamError err = FeatureNode(name, &f); err != CAM_OK)
            return err;
        *d = {};
        d->name = name;
        const char* display = arv_gc_feature_node_get_display_name(f);
        d->displayName = display ? display : name;
        const char* description = arv_gc_feature_node_get_description(f);
        d->description = description ? description : "";
        switch (arv_gc_feature_node_get_visibility(f)) {
        case ARV_GC_VISIBILITY_EXPERT: d->visibility = CAM_VISIBILITY_EXPERT; break;
        case ARV_GC_VISIBILITY_GURU: d->visibility = CAM_VISIBILITY_GURU; break;
        case ARV_GC_VISIBILITY_INVISIBLE: d->visibility = CAM_VISIBILITY_INVISIBLE; break;
        default: d->visibility = CAM_VISIBILITY_BEGINNER; break;
        }
        // Access as the camera reports it now: a feature not available,
        // or locked while streaming, cannot be written.
        GError* error = nullptr;
        const bool available = arv_gc_feature_node_is_available(f, &error) && !error;
        g_clear_error(&error);
        const bool locked = arv_gc_feature_node_is_locked(f, &error) && !error;
        g_clear_error(&error);
        switch (arv_gc_feature_node_get_actual_access_mode(f)) {
        case ARV_GC_ACCESS_MODE_RO: d->access = CAM_ACCESS_READ; break;
        case ARV_GC_ACCESS_MODE_WO: d->access = CAM_ACCESS_WRITE; break;
        case ARV_GC_ACCESS_MODE_RW: d->access = locked ? CAM_ACCESS_READ : CAM_ACCESS_READ_WRITE; break;
        default: d->access = CAM_ACCESS_NONE; break;
        }
        if (!available)
            d->access = CAM_ACCESS_NONE;
        ArvGcNode* node = ARV_GC_NODE(f);
        if (ARV_IS_GC_CATEGORY(node)) {
            d->type = CAM_TYPE_CATEGORY;
            d->access = CAM_ACCESS_NONE;
        } else if (ARV_IS_GC_ENUMERATION(node)) {
            d->type = CAM_TYPE_ENUMERATION;
            guint n = 0;
            const char** values = arv_gc_enumeration_dup_available_string_values(ARV_GC_ENUMERATION(node), &n, &error);
            for (guint i = 0; values && i < n; ++i)
                d->entries.push_back(values[i]);
            g_free(values);
            g_clear_error(&error);
        } else if (ARV_IS_GC_COMMAND(node)) {
            d->type = CAM_TYPE_COMMAND;
        } else if (ARV_IS_GC_BOOLEAN(node)) {
            d->type = CAM_TYPE_BOOLEAN;
        } else if (ARV_IS_GC_INTEGER(node)) {
            d->type = CAM_TYPE_INTEGER;
            ArvGcInteger* i = ARV_GC_INTEGER(node);
            d->intMinimum = arv_gc_integer_get_min(i, &error);
            g_clear_error(&error);
            d->intMaximum = arv_gc_integer_get_max(i, &error);
            g_clear_error(&error);
            d->intIncrement = std::max<gint64>(1, arv_gc_integer_get_inc(i, &error));
            g_clear_error(&error);
            d->representation = Representation(i);
            const char* unit = arv_gc_integer_get_unit(i);
            d->unit = unit ? unit : "";
            g_clear_error(&error);
        } else if (ARV_IS_GC_FLOAT(node)) {
            d->type = CAM_TYPE_FLOAT;
            ArvGcFloat* x = ARV_GC_FLOAT(node);
            d->floatMinimum = arv_gc_float_get_min(x, &error);
            g_clear_error(&error);
            d->floatMaximum = arv_gc_float_get_max(x, &error);
            g_clear_error(&error);
            const double inc = arv_gc_float_get_inc(x, &error);
            d->floatIncrement = std::isfinite(inc) && inc > 1e-100 ? inc : 0;  // Aravis gives DBL_MIN for none
            const char* unit = arv_gc_float_get_unit(x);
            d->unit = unit ? unit : "";
            g_clear_error(&error);
        } else if (ARV_IS_GC_STRING(node)) {
            d->type = CAM_TYPE_STRING;
        } else {
            return CAM_ERR_NOT_IMPLEMENTED;
        }
        if (ARV_IS_GC_SELECTOR(node) && arv_gc_selector_is_selector(ARV_GC_SELECTOR(node)))
            for (const GSList* s = arv_gc_selector_get_selected_features(ARV_GC_SELECTOR(node)); s; s = s->next)
                if (ARV_IS_GC_FEATURE_NODE(s->data))
                    if (const char* selected = arv_gc_feature_node_get_name(ARV_GC_FEATURE_NODE(s->data)))
                        d->selected.push_back(selected);
        return CAM_OK;
    }

    CamError Children(const char* category, std::vector<std::string>* names) override
    {
        ArvGcFeatureNode* f = nullptr;
        if (CamError err = FeatureNode(category, &f); err != CAM_OK)
            return err;
        if (!ARV_IS_GC_CATEGORY(f))
            return CAM_ERR_WRONG_TYPE;
        names->clear();
        for (const GSList* n = arv_gc_category_get_features(ARV_GC_CATEGORY(f)); n; n = n->next)
            if (n->data)
                names->push_back(static_cast<const char*>(n->data));
        return CAM_OK;
    }

    CamError GetText(const char* name, std::string* text) override
    {
        ArvGcFeatureNode* f = nullptr;
        if (CamError err = FeatureNode(name, &f); err != CAM_OK)
            return err;
        if (ARV_IS_GC_CATEGORY(f) || ARV_IS_GC_COMMAND(f))
            return CAM_ERR_WRONG_TYPE;
        GError* error = nullptr;
        if (ARV_IS_GC_BOOLEAN(f)) {
            const gboolean v = arv_gc_boolean_get_value(ARV_GC_BOOLEAN(f), &error);
            *text = v ? "true" : "false";
        } else if (ARV_IS_GC_FLOAT(f) && !ARV_IS_GC_ENUMERATION(f)) {
            *text = FloatText(arv_gc_float_get_value(ARV_GC_FLOAT(f), &error));
        } else if (ARV_IS_GC_INTEGER(f) && !ARV_IS_GC_ENUMERATION(f)) {
            const gint64 v = arv_gc_integer_get_value(ARV_GC_INTEGER(f), &error);
            *text = IntText(v, Representation(ARV_GC_INTEGER(f)));
        } else {
            const char* v = arv_gc_feature_node_get_value_as_string(f, &error);
            *text = v ? v : "";
        }
        return Take(error, name);
    }

    CamError SetText(const char* name, const std::string& text) override
    {
        ArvGcFeatureNode* f = nullptr;
        if (CamError err = FeatureNode(name, &f); err != CAM_OK)
            return err;
        GError* error = nullptr;
        if (ARV_IS_GC_COMMAND(f))
            arv_gc_command_execute(ARV_GC_COMMAND(f), &error);
        else if (ARV_IS_GC_BOOLEAN(f))
            arv_gc_boolean_set_value(ARV_GC_BOOLEAN(f), text == "true", &error);
        else
            arv_gc_feature_node_set_value_from_string(f, text.c_str(), &error);
        return Take(error, name);
    }

    std::vector<std::pair<std::string, double>> StreamCounters() override
    {
        std::vector<std::pair<std::string, double>> counters;
        for (guint i = 0; stream_ && i < arv_stream_get_n_infos(stream_); ++i) {
            const char* name = arv_stream_get_info_name(stream_, i);
            const GType type = arv_stream_get_info_type(stream_, i);
            if (!name || (type != G_TYPE_UINT64 && type != G_TYPE_DOUBLE))
                continue;
            counters.emplace_back(name, type == G_TYPE_UINT64 ? double(arv_stream_get_info_uint64(stream_, i))
                                                              : arv_stream_get_info_double(stream_, i));
        }
        return counters;
    }

    CamError SetEnum(const char* name, const char* value) override
    {
        ArvGcNode* node = nullptr;
        CamError err = Node(name, ARV_TYPE_GC_ENUMERATION, &node);
        if (err != CAM_OK)
            return err;
        auto* enumeration = ARV_GC_ENUMERATION(node);
        // Newer cameras call the packed BGR format by its current standard name.
        if (!std::strcmp(name, "PixelFormat") && !std::strcmp(value, "BGR8Packed") &&
            !HasEntry(enumeration, value) && HasEntry(enumeration, "BGR8"))
            value = "BGR8";
        if (!HasEntry(enumeration, value))
            return CAM_ERR_INVALID_VALUE;
        GError* error = nullptr;
        arv_gc_enumeration_set_string_value(enumeration, value, &error);
        return Take(error, name);
    }

    CamError RunCommand(const char* name) override
    {
        if (!std::strcmp(name, kAdjust)) {
            if (!arv_camera_is_gv_device(camera_))
                return CAM_ERR_NOT_FOUND;
            if (lost_)
                return CAM_ERR_IO;
            adjustDone_ = false;
            GError* error = nullptr;
            arv_camera_gv_auto_packet_size(camera_, &error);
            CamError err = Take(error, name);
            adjustDone_ = err == CAM_OK;
            return err;
        }
        ArvGcNode* node = nullptr;
        CamError err = Node(name, ARV_TYPE_GC_COMMAND, &node);
        if (err != CAM_OK)
            return err;
        GError* error = nullptr;
        arv_gc_command_execute(ARV_GC_COMMAND(node), &error);
        return Take(error, name);
    }

    CamError IsCommandDone(const char* name, bool* done) override
    {
        if (!std::strcmp(name, kAdjust)) {
            if (!arv_camera_is_gv_device(camera_))
                return CAM_ERR_NOT_FOUND;
            *done = adjustDone_;
            return CAM_OK;
        }
        ArvGcNode* node = nullptr;
        CamError err = Node(name, ARV_TYPE_GC_COMMAND, &node);
        if (err != CAM_OK)
            return err;
        *done = true;  // commands run to completion when they are executed
        return CAM_OK;
    }

    CamError Announce(CamFrame* frame) override
    {
        GError* error = nullptr;
        const guint payload = arv_camera_get_payload(camera_, &error);
        CamError err = Take(error, "PayloadSize");
        if (err != CAM_OK)
            return err;
        if (payload == 0 || payload > frame->bufferSize)
            return CAM_ERR_BAD_SIZE;
        payload_ = payload;
        // Aravis writes straight into the caller's memory: no copy.
        frames_.push_back({frame, arv_buffer_new(frame->bufferSize, frame->buffer)});
        return CAM_OK;
    }

    void Revoke(CamFrame* frame) override
    {
        auto it = FindFrame(frame);
        if (it == frames_.end())
            return;
        g_object_unref(it->buffer);
        frames_.erase(it);
    }

    CamError StartCapture() override
    {
        GError* error = nullptr;
        stream_ = arv_camera_create_stream(camera_, nullptr, nullptr, &error);
        CamError err = Take(error, "stream");
        if (err != CAM_OK && stream_) {
            g_object_unref(stream_);
            stream_ = nullptr;
        }
        if (stream_)
            MeasureBlocks();
        anyFrame_ = false;
        return stream_ ? err : (err != CAM_OK ? err : CAM_ERR_IO);
    }

    void EndCapture() override
    {
        // Destroying the stream joins its thread: nothing writes into the
        // caller's buffers afterwards.
        if (stream_)
            g_object_unref(stream_);
        stream_ = nullptr;
    }

    CamError Queue(CamFrame* frame) override
    {
        auto it = FindFrame(frame);
        if (it == frames_.end() || !stream_)
            return CAM_ERR_BAD_SEQUENCE;
        Mark(*it);
        Forget(it->buffer);
        arv_stream_push_buffer(stream_, ARV_BUFFER(g_object_ref(it->buffer)));
        return CAM_OK;
    }

    CamError Wait(CamFrame* frame, uint32_t timeoutMs, FrameTimes* times) override
    {
        auto it = FindFrame(frame);
        if (it == frames_.end() || !stream_)
            return CAM_ERR_BAD_SEQUENCE;
        ArvBuffer* done = nullptr;
        if (CamError err = Pop(timeoutMs, &done); err != CAM_OK)
            return err;
        if (done != it->buffer) {
            // Another announced frame came back first: leave it for its own
            // wait, marked afresh, as what it holds now is an older frame.
            auto other = FindBuffer(done);
            if (other != frames_.end())
                Mark(*other);
            Forget(done);
            arv_stream_push_buffer(stream_, done);
            return CAM_ERR_BAD_SEQUENCE;
        }
        Fill(*it, done, times);
        return CAM_OK;
    }

    CamError WaitNext(const std::deque<CamFrame*>&, CamFrame** frame, uint32_t timeoutMs, FrameTimes* times) override
    {
        if (!stream_)
            return CAM_ERR_BAD_SEQUENCE;
        const gint64 deadline = g_get_monotonic_time() + gint64(timeoutMs) * 1000;
        for (;;) {
            const gint64 left = std::max<gint64>(0, deadline - g_get_monotonic_time());
            ArvBuffer* done = nullptr;
            if (CamError err = Pop(uint32_t((left + 999) / 1000), &done); err != CAM_OK)
                return err;
            auto it = FindBuffer(done);
            if (it == frames_.end()) {
                g_object_unref(done);
                return CAM_ERR_INTERNAL;
            }
            // A stream's first frame that lost its leader packet could be
            // any frame: with no id before it to follow, its id would make
            // the next frame's count the camera's whole range of ids as
            // dropped. It goes back to the stream unseen.
            if (!anyFrame_ && arv_buffer_get_status(done) != ARV_BUFFER_STATUS_SUCCESS &&
                arv_buffer_get_frame_id(done) == 0) {
                Mark(*it);
                Forget(done);
                arv_stream_push_buffer(stream_, done);
                continue;
            }
            Fill(*it, done, times);
            *frame = it->frame;
            return CAM_OK;
        }
    }

private:
    // A frame announced, the buffer Aravis fills it through, and the mark
    // its packet blocks carried when it was queued (see Mark).
    struct Announced {
        CamFrame* frame;
        ArvBuffer* buffer;
        uint64_t mark = 0;
    };
    using Frames = std::vector<Announced>;

    Frames::iterator FindFrame(const CamFrame* frame)
    {
        return std::find_if(frames_.begin(), frames_.end(), [&](const Announced& a) { return a.frame == frame; });
    }

    Frames::iterator FindBuffer(const ArvBuffer* buffer)
    {
        return std::find_if(frames_.begin(), frames_.end(), [&](const Announced& a) { return a.buffer == buffer; });
    }

    // Aravis copies each GVSP data packet to its place in the buffer and
    // leaves the place of a lost one as it was: the bytes of whatever frame
    // the buffer held before. Nor does it say which packets came. So each
    // packet's place gets a mark, new at every queueing, before the buffer
    // goes to the stream; a place still marked when the frame comes back
    // incomplete is one no packet filled, and is made black. It costs a
    // store per packet (8 bytes of every 1464 at the usual packet size),
    // not a clearing of the whole buffer. A packet that happens to carry
    // the mark itself would only be made black, never show an older frame.
    void Mark(Announced& a)
    {
        if (blockBytes_ == 0)
            return;
        a.mark = NextMark();
        auto* data = static_cast<uint8_t*>(a.frame->buffer);
        const size_t end = Filled(*a.frame);
        for (size_t at = 0; at < end; at += blockBytes_)
            std::memcpy(data + at, &a.mark, MarkBytes(at, end));
    }

    // A mark never reaches into the next packet's place: with packets of
    // fewer than 8 bytes each mark would overwrite the one before, and no
    // place would read as marked.
    size_t MarkBytes(size_t at, size_t end) const { return std::min({sizeof(uint64_t), blockBytes_, end - at}); }

    // Makes the places of an incomplete frame's lost packets black; the
    // bytes of the frame that can have come (the payload).
    size_t Unmark(const Announced& a)
    {
        auto* data = static_cast<uint8_t*>(a.frame->buffer);
        const size_t end = Filled(*a.frame);
        for (size_t at = 0; at < end; at += blockBytes_)
            if (!std::memcmp(data + at, &a.mark, MarkBytes(at, end)))
                std::memset(data + at, 0, std::min(blockBytes_, end - at));
        return end;
    }

    // Aravis sets a buffer's id and times from the frame's leader packet
    // and leaves those of the frame before when the leader is lost.
    static void Forget(ArvBuffer* buffer)
    {
        arv_buffer_set_frame_id(buffer, 0);
        arv_buffer_set_timestamp(buffer, 0);
        arv_buffer_set_system_timestamp(buffer, 0);
    }

    size_t Filled(const CamFrame& frame) const { return std::min<size_t>(payload_, frame.bufferSize); }

    // Every mark differs from the last ones and from one run to the next.
    uint64_t NextMark()
    {
        uint64_t z = (markSeed_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }

    // Where the stream puts each data packet: packet n (from 1) at
    // (n - 1) times the bytes a packet carries, the packet size less the
    // IP, UDP and GVSP headers. Other cameras (USB3 Vision, Aravis's own
    // fake) are not marked.
    void MeasureBlocks()
    {
        blockBytes_ = 0;
        if (!arv_camera_is_gv_device(camera_))
            return;
        GError* error = nullptr;
        const guint packet = arv_gv_device_get_packet_size(ARV_GV_DEVICE(device_), &error);
        if (Take(error, "GevSCPSPacketSize") != CAM_OK)
            return;
        // Extended ids (GigE Vision 2) lengthen the GVSP header by 12 bytes.
        // Most cameras declare the mode an enumeration (Off, On), some a
        // boolean: read as the other type, it would count as off.
        size_t headers = 20 + 8 + 8;
        bool extended = false;
        ArvGcNode* mode = arv_device_get_feature(device_, kExtendedIds);
        if (ARV_IS_GC_ENUMERATION(mode)) {
            const char* value = arv_gc_enumeration_get_string_value(ARV_GC_ENUMERATION(mode), &error);
            extended = Take(error, kExtendedIds) == CAM_OK && value && !std::strcmp(value, "On");
        } else if (ARV_IS_GC_BOOLEAN(mode)) {
            const gboolean on = arv_gc_boolean_get_value(ARV_GC_BOOLEAN(mode), &error);
            extended = Take(error, kExtendedIds) == CAM_OK && on;
        }
        if (extended)
            headers += 12;
        if (packet > headers)
            blockBytes_ = packet - headers;
    }

    // The next buffer the stream filled. The wait is cut into slices, and a
    // GigE camera is asked after each empty one whether it is still there:
    // one that vanished is reported as such once it has not answered for a
    // second, instead of as a frame that did not come in time (asking
    // through Aravis would take its retries, seconds). What was asked and
    // not yet answered carries over from one wait to the next, so that short
    // waits in a row notice it too.
    CamError Pop(uint32_t timeoutMs, ArvBuffer** done)
    {
        const gint64 deadline = g_get_monotonic_time() + gint64(timeoutMs) * 1000;
        for (;;) {
            const gint64 left = std::max<gint64>(0, deadline - g_get_monotonic_time());
            if ((*done = arv_stream_timeout_pop_buffer(stream_, guint64(std::min(left, kProbeEveryUs))))) {
                unanswered_ = 0;
                return CAM_OK;
            }
            if (DiscoveryProbe* probe = Probe()) {
                const gint64 now = g_get_monotonic_time();
                if (unanswered_ > 0 && probe->Answered(0))
                    unanswered_ = 0;
                if (unanswered_ >= 2 && now - firstUnanswered_ >= kSilenceUs) {
                    lost_ = true;
                    if (TraceEnabled())
                        std::fprintf(stderr, "aravis: the camera no longer answers discovery\n");
                    return CAM_ERR_IO;
                }
                if (probe->Send() == CAM_OK && unanswered_++ == 0)
                    firstUnanswered_ = now;
            }
            if (g_get_monotonic_time() >= deadline)
                return CAM_ERR_TIMEOUT;
        }
    }

    // The frame record from a buffer the stream filled, which it then lets go.
    void Fill(const Announced& a, ArvBuffer* done, FrameTimes* times)
    {
        CamFrame* frame = a.frame;
        size_t received = 0;
        arv_buffer_get_data(done, &received);
        frame->receiveStatus = FrameStatus(arv_buffer_get_status(done));
        // Aravis gives the size received only of a complete buffer; for
        // another it is that of an earlier frame, or none.
        if (frame->receiveStatus != CAM_FRAME_COMPLETE)
            received = blockBytes_ ? Unmark(a) : 0;
        frame->imageSize = uint32_t(std::min<size_t>(received, frame->bufferSize));
        frame->width = frame->height = 0;
        // Aravis knows the size only of a buffer that arrived whole (and
        // complains on stderr when asked about any other).
        const ArvBufferPayloadType type = arv_buffer_get_payload_type(done);
        if (arv_buffer_get_status(done) == ARV_BUFFER_STATUS_SUCCESS && arv_buffer_get_n_parts(done) > 0 &&
            (type == ARV_BUFFER_PAYLOAD_TYPE_IMAGE || type == ARV_BUFFER_PAYLOAD_TYPE_EXTENDED_CHUNK_DATA)) {
            frame->width = uint32_t(std::max(0, arv_buffer_get_image_width(done)));
            frame->height = uint32_t(std::max(0, arv_buffer_get_image_height(done)));
        }
        // The frame's id and times come with its leader, and were cleared
        // at queue time: a frame whose leader was lost has none. It takes
        // the id after the last one, so that the next frame's id counts
        // exactly the frames the camera could not send (an id of 0, or a
        // stale one, would count thousands); its camera time stays unknown
        // (0).
        frame->frameId = arv_buffer_get_frame_id(done);
        if (frame->frameId == 0 && frame->receiveStatus != CAM_FRAME_COMPLETE)
            frame->frameId = lastFrameId_ + 1;
        lastFrameId_ = frame->frameId;
        anyFrame_ = true;
        // The system timestamp is the host's real time as the stream thread
        // took the frame in, nearer its arrival than this wait.
        times->timestamp = arv_buffer_get_timestamp(done);
        times->receiveTime = arv_buffer_get_system_timestamp(done);  // 0: the core takes the time now
        g_object_unref(done);  // the reference the stream was given at queue time
    }

    // The probe of a GigE camera's presence; null for other cameras.
    DiscoveryProbe* Probe()
    {
        if (!probe_ && arv_camera_is_gv_device(camera_)) {
            GSocketAddress* address = arv_gv_device_get_device_address(ARV_GV_DEVICE(device_));
            if (address && G_IS_INET_SOCKET_ADDRESS(address))
                probe_ = std::make_unique<DiscoveryProbe>(
                    g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(address)));
        }
        return probe_.get();
    }

    // A feature of the given kind read with get (as its type's cast makes
    // the node), the value handed to store unless the camera refused.
    template <class Get, class Cast, class Store>
    CamError Read(const char* name, GType kind, Get get, Cast cast, Store store)
    {
        ArvGcNode* node = nullptr;
        CamError err = Node(name, kind, &node);
        if (err != CAM_OK)
            return err;
        GError* error = nullptr;
        const auto v = get(cast(node), &error);
        return (err = Take(error, name)) == CAM_OK ? store(v) : err;
    }

    // The camera's feature (or category) of this name.
    CamError FeatureNode(const char* name, ArvGcFeatureNode** f)
    {
        if (lost_)
            return CAM_ERR_IO;
        ArvGcNode* node = arv_device_get_feature(device_, name);
        if (!node || !ARV_IS_GC_FEATURE_NODE(node))
            return CAM_ERR_NOT_FOUND;
        *f = ARV_GC_FEATURE_NODE(node);
        return CAM_OK;
    }

    // The camera's feature of this name, if it is of the given kind.
    CamError Node(const char* name, GType kind, ArvGcNode** node)
    {
        if (lost_)
            return CAM_ERR_IO;
        *node = arv_device_get_feature(device_, name);
        if (!*node)
            return CAM_ERR_NOT_FOUND;
        return G_TYPE_CHECK_INSTANCE_TYPE(*node, kind) ? CAM_OK : CAM_ERR_WRONG_TYPE;
    }

    static bool HasEntry(ArvGcEnumeration* enumeration, const char* value)
    {
        for (const GSList* e = arv_gc_enumeration_get_entries(enumeration); e; e = e->next)
            if (ARV_IS_GC_FEATURE_NODE(e->data) &&
                !g_strcmp0(arv_gc_feature_node_get_name(ARV_GC_FEATURE_NODE(e->data)), value))
                return true;
        return false;
    }

    static constexpr gint64 kProbeEveryUs = 250000;
    static constexpr gint64 kSilenceUs = 1000000;  // without an answer: gone

    ArvCamera* camera_;
    ArvDevice* device_;  // owned by camera_
    std::unique_ptr<DiscoveryProbe> probe_;
    int unanswered_ = 0;          // probes in a row without an answer
    gint64 firstUnanswered_ = 0;  // when the first of them was sent
    // The camera stopped answering: every later call fails at once, as each
    // would otherwise wait out Aravis's retries (seconds) on a camera that is gone.
    bool lost_ = false;
    ArvStream* stream_ = nullptr;
    Frames frames_;
    bool adjustDone_ = false;
    guint payload_ = 0;      // bytes of a frame, as read when frames were announced
    uint64_t lastFrameId_ = 0;
    bool anyFrame_ = false;  // a frame was handed over since capture started
    size_t blockBytes_ = 0;  // image bytes a GVSP data packet carries; 0: frames are not marked
    uint64_t markSeed_ = (uint64_t(g_random_int()) << 32) | g_random_int();
};

CamError CameraFromDevice(ArvDevice* device, GError* error, std::unique_ptr<Device>* out,
                          const char* what)
{
    if (!device)
        return Take(error, what);
    ArvCamera* camera = arv_camera_new_with_device(device, &error);
    g_object_unref(device);  // the camera holds its own reference
    if (!camera)
        return Take(error, what);
    *out = std::make_unique<AravisDevice>(camera);
    return CAM_OK;
}

// Every GigE Vision and USB3 Vision camera Aravis can find. Discovery
// broadcasts on all network interfaces.
class AravisSource : public Source {
public:
    CamError Discover(std::vector<CameraEntry>* found) override
    {
        found->clear();
        arv_update_device_list();
        for (unsigned i = 0; i < arv_get_n_devices(); ++i) {
            const char* id = arv_get_device_id(i);
            if (!id)
                continue;
            const char* model = arv_get_device_model(i);
            CameraEntry entry{id, model ? model : id, {}, {}, {}};
            const char* protocol = arv_get_device_protocol(i);
            const char* address = arv_get_device_address(i);
            if (protocol && !std::strcmp(protocol, "GigEVision") && address) {
                entry.address = address;
                const char* mac = arv_get_device_physical_id(i);
                entry.macAddress = mac ? mac : "";
                if (GInetAddress* camera = g_inet_address_new_from_string(address)) {
                    entry.interfaceAddress = LocalAddressFor(camera, nullptr);
                    g_object_unref(camera);
                }
            }
            found->push_back(std::move(entry));
        }
        return CAM_OK;
    }

    CamError Open(const std::string& id, std::unique_ptr<Device>* device) override
    {
        GError* error = nullptr;
        ArvCamera* camera = arv_camera_new(id.c_str(), &error);
        if (!camera)
            return Take(error, id.c_str());
        *device = std::make_unique<AravisDevice>(camera);
        return CAM_OK;
    }
};

// Aravis's fake camera, in this process: no network at all.
class AravisFakeSource : public Source {
public:
    CamError Discover(std::vector<CameraEntry>* found) override
    {
        *found = {{kId, "Aravis fake camera", {}, {}, {}}};
        return CAM_OK;
    }

    CamError Open(const std::string& id, std::unique_ptr<Device>* device) override
    {
        if (id != kId)
            return CAM_ERR_NOT_FOUND;
        GError* error = nullptr;
        ArvDevice* fake = arv_fake_device_new("TARVIK0", &error);
        return CameraFromDevice(fake, error, device, kId);
    }

private:
    static constexpr const char* kId = "aravis-fake";
};

// One GigE Vision camera at a known address, reached directly.
class GigeSource : public Source {
public:
    explicit GigeSource(std::string host) : host_(std::move(host)), id_("gige:" + host_) {}

    CamError Discover(std::vector<CameraEntry>* found) override
    {
        found->clear();
        CameraEntry entry{id_, {}, {}, {}, {}};
        CamError err = AskForDiscoveryData(&entry);
        if (err != CAM_OK) {
            std::fprintf(stderr, "tarvik: %s: no GigE Vision camera answered (%s)\n",
                         Quoted(id_).c_str(), CamErrorName(err));
            return CAM_OK;  // a camera that is not there is not an error of the discovery
        }
        if (entry.name.empty())
            entry.name = id_;
        found->push_back(std::move(entry));
        return CAM_OK;
    }

    CamError Open(const std::string& id, std::unique_ptr<Device>* device) override
    {
        if (id != id_)
            return CAM_ERR_NOT_FOUND;
        GInetAddress* deviceAddress = nullptr;
        GInetAddress* interfaceAddress = nullptr;
        CamError err = Resolve(&deviceAddress, &interfaceAddress);
        if (err != CAM_OK)
            return err;
        GError* error = nullptr;
        ArvDevice* gv = arv_gv_device_new(interfaceAddress, deviceAddress, &error);
        g_object_unref(deviceAddress);
        g_object_unref(interfaceAddress);
        // Another program controlling the camera leaves us a device that can only watch.
        if (gv && !arv_gv_device_is_controller(ARV_GV_DEVICE(gv))) {
            g_object_unref(gv);
            return CAM_ERR_ACCESS_DENIED;
        }
        return CameraFromDevice(gv, error, device, id_.c_str());
    }

private:
    // Asks the camera alone for its discovery data (see DiscoveryProbe) and
    // reads its model name and MAC address from the answer.
    CamError AskForDiscoveryData(CameraEntry* entry)
    {
        GInetAddress* deviceAddress = nullptr;
        GInetAddress* interfaceAddress = nullptr;
        CamError err = Resolve(&deviceAddress, &interfaceAddress);
        if (err != CAM_OK)
            return err;
        for (auto [address, text] : {std::pair{deviceAddress, &entry->address},
                                     std::pair{interfaceAddress, &entry->interfaceAddress}}) {
            gchar* t = g_inet_address_to_string(address);
            *text = t ? t : "";
            g_free(t);
        }
        g_object_unref(interfaceAddress);
        DiscoveryProbe probe(deviceAddress);
        g_object_unref(deviceAddress);
        for (int attempt = 0; attempt < kDiscoveryAttempts; ++attempt) {
            if ((err = probe.Send()) != CAM_OK)
                return err;
            if (probe.Answered(kDiscoveryWaitUs, &entry->name, &entry->macAddress))
                return CAM_OK;
        }
        return CAM_ERR_TIMEOUT;
    }

    static constexpr int kDiscoveryAttempts = 3;
    static constexpr gint64 kDiscoveryWaitUs = 500000;

    // The camera's address, and the local address that reaches it (found by
    // connecting a UDP socket, which sends nothing).
    CamError Resolve(GInetAddress** deviceAddress, GInetAddress** interfaceAddress)
    {
        GError* error = nullptr;
        GInetAddress* address = g_inet_address_new_from_string(host_.c_str());
        if (!address) {
            GResolver* resolver = g_resolver_get_default();
            GList* list = g_resolver_lookup_by_name(resolver, host_.c_str(), nullptr, &error);
            g_object_unref(resolver);
            if (!list)
                return Take(error, id_.c_str());
            for (GList* l = list; l && !address; l = l->next)
                if (g_inet_address_get_family(G_INET_ADDRESS(l->data)) == G_SOCKET_FAMILY_IPV4)
                    address = G_INET_ADDRESS(g_object_ref(l->data));
            g_resolver_free_addresses(list);
            if (!address)
                return CAM_ERR_NOT_FOUND;
        }
        GSocket* socket = g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_DATAGRAM,
                                       G_SOCKET_PROTOCOL_UDP, &error);
        GSocketAddress* remote = g_inet_socket_address_new(address, DiscoveryProbe::kGvcpPort);
        GSocketAddress* local = nullptr;
        if (socket && g_socket_connect(socket, remote, nullptr, &error))
            local = g_socket_get_local_address(socket, &error);
        g_object_unref(remote);
        if (socket)
            g_object_unref(socket);
        if (!local) {
            g_object_unref(address);
            return error ? Take(error, id_.c_str()) : CAM_ERR_IO;
        }
        *interfaceAddress = G_INET_ADDRESS(
            g_object_ref(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(local))));
        g_object_unref(local);
        *deviceAddress = address;
        return CAM_OK;
    }

    std::string host_;
    std::string id_;
};

}  // namespace

std::unique_ptr<Source> CreateAravisSource(const std::string&, std::string*)
{
    return std::make_unique<AravisSource>();
}

std::unique_ptr<Source> CreateAravisFakeSource(const std::string&, std::string*)
{
    return std::make_unique<AravisFakeSource>();
}

std::unique_ptr<Source> CreateGigeSource(const std::string& host, std::string*)
{
    return std::make_unique<GigeSource>(host);
}

}  // namespace cam
