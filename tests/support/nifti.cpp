#include "nifti.h"

#include <nifti1_io.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace support {

namespace {

template <typename T>
void fill(void* data, const std::vector<double>& stored)
{
    T* out = static_cast<T*>(data);
    for (std::size_t i = 0; i < stored.size(); ++i) out[i] = static_cast<T>(stored[i]);
}

} // namespace

void writeNifti(const std::string& path, const NiftiLayout& layout, const std::vector<double>& stored)
{
    nifti_set_debug_level(0);
    int dims[8] = {layout.ndim, layout.dims[0], layout.dims[1], layout.dims[2], layout.dims[3], 1, 1, 1};
    nifti_image* image = nifti_make_new_nim(dims, layout.datatype, 1);
    if (image == nullptr) throw std::runtime_error("cannot make a NIfTI image");
    if (stored.size() != image->nvox) {
        nifti_image_free(image);
        throw std::runtime_error("writeNifti: " + std::to_string(stored.size()) + " values for " +
                                 std::to_string(image->nvox) + " voxels");
    }
    switch (layout.datatype) {
    case NIFTI_TYPE_UINT8: fill<std::uint8_t>(image->data, stored); break;
    case NIFTI_TYPE_INT16: fill<std::int16_t>(image->data, stored); break;
    case NIFTI_TYPE_INT32: fill<std::int32_t>(image->data, stored); break;
    case NIFTI_TYPE_FLOAT32: fill<float>(image->data, stored); break;
    case NIFTI_TYPE_FLOAT64: fill<double>(image->data, stored); break;
    default: break; // other types keep their zeros
    }
    image->dx = image->pixdim[1] = layout.pixdim[0];
    image->dy = image->pixdim[2] = layout.pixdim[1];
    image->dz = image->pixdim[3] = layout.pixdim[2];
    image->dt = image->pixdim[4] = layout.pixdim[3];
    image->xyz_units = layout.xyzUnits;
    image->time_units = layout.timeUnits;
    image->scl_slope = layout.slope;
    image->scl_inter = layout.inter;
    mat44 m{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) m.m[r][c] = layout.affine[std::size_t(r)][std::size_t(c)];
    m.m[3][3] = 1.0f;
    image->sform_code = image->qform_code = layout.xformCode;
    image->sto_xyz = image->qto_xyz = m;
    nifti_mat44_to_quatern(m, &image->quatern_b, &image->quatern_c, &image->quatern_d, &image->qoffset_x,
                           &image->qoffset_y, &image->qoffset_z, nullptr, nullptr, nullptr, &image->qfac);
    image->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    const bool named = nifti_set_filenames(image, path.c_str(), 0, 1) == 0;
    if (named) nifti_image_write(image);
    nifti_image_free(image);
    if (!named) throw std::runtime_error("cannot name the NIfTI file " + path);
}

std::vector<float> readFloatNifti(const std::string& path, std::array<int, 3>* dims)
{
    nifti_set_debug_level(0);
    nifti_image* image = nifti_image_read(path.c_str(), 1);
    if (image == nullptr || image->data == nullptr || image->datatype != NIFTI_TYPE_FLOAT32) {
        if (image) nifti_image_free(image);
        throw std::runtime_error("cannot read the float NIfTI " + path);
    }
    const float* v = static_cast<const float*>(image->data);
    std::vector<float> voxels(v, v + image->nvox);
    if (dims) *dims = {image->nx, image->ny, image->nz};
    nifti_image_free(image);
    return voxels;
}

} // namespace support
