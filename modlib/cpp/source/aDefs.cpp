#include "aDefs.h"

namespace {

struct ModelName {
    uint32_t model;
    const char* name;
};

const ModelName kModels[] = {
    {4, "Alder"},      {5, "Birch"},   {13, "Cedar"}, {14, "Dogwood"},  {15, "Elmwood"},
    {16, "Firethorn"}, {17, "Ginkgo"}, {18, "Hazel"}, {19, "Ironwood"}, {20, "Juniper"},
    {21, "Kapok"},     {22, "Larch"},  {23, "Maple"}, {24, "Nutmeg"},
};

}  // namespace

const char* aDefs_GetModelName(uint32_t model)
{
    for (const ModelName& m : kModels)
        if (m.model == model) return m.name;
    return "Unknown";
}
