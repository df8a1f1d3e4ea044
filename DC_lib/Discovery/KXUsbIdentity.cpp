#include "Discovery/KXUsbIdentity.h"

const KXDeviceMatchRow kKXDeviceMatchTable[kKXDeviceMatchRows] = {
    {0, "", ""},
    {9, "1d4d", "6009"},
};

std::string KXMatchTemplate(const KXDeviceMatchRow& row) {
    std::string t = "usb#vid_XXXX&pid_XXXX";
    std::string vid = row.vendorId;
    std::string pid = row.productId;
    t.replace(8, 4, (vid + "XXXX").substr(0, 4));
    t.replace(17, 4, (pid + "XXXX").substr(0, 4));
    return t;
}

bool KXPathHasComponent(const std::string& path, const std::string& text) {
    if (text.empty()) {
        return true;
    }
    for (size_t at = path.find(text); at != std::string::npos; at = path.find(text, at + 1)) {
        const size_t end = at + text.size();
        if ((at == 0 || path[at - 1] == '#') && (end == path.size() || path[end] == '#')) {
            return true;
        }
    }
    return false;
}

const KXVendorProductRow kKXVendorProductTable[kKXVendorProductRows] = {
    {"1d4d", "601f"}, {"1d4d", "600e"}, {"1d4d", "6018"},
    {"1d4d", "601e"}, {"1d4d", "6009"}, {"1d4d", "600f"},
};

const KXFirmwarePrefixRow kKXFirmwarePrefixTable[kKXFirmwarePrefixRows] = {
    {1, "KPA"}, {2, "KPB"}, {3, "KPC"},    {4, "KPD"}, {5, "KPK"},
    {6, "KPF"}, {7, "KPG"}, {8, "ZM-160"}, {9, "KPH"}, {10, "KPJ"},
};

std::map<int, std::string> KXModelNames() {
    std::map<int, std::string> names;
    names[1] = "ZM-120";
    names[2] = "ZM-110";
    names[3] = "ZM-111";
    names[4] = "ZM-113";
    names[5] = "ZM-130";
    names[6] = "ZM-130,V1";
    names[7] = "ZM-140";
    names[8] = "ZM-160";
    names[9] = "ZM-150";
    names[10] = "ZM-150,V01";
    return names;
}
