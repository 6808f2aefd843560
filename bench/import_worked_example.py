#!/usr/bin/python3
# The worked example of the import conventions: a 64 x 64 x 36 run of 3 mm
# voxels with one moved volume, imported from FSL, AFNI and SPM motion files,
# and the largest error of the maximum absolute displacement map against the
# package's own transform, computed here with numpy from the package's
# definition. Compare builds side by side:
#   bench/import_worked_example.py build/bin/tremora [OTHER/bin/tremora ...]
import numpy as np, nibabel as nib, subprocess, sys, os, shutil, tempfile
programs=[(p, p) for p in sys.argv[1:]] or [("build/bin/tremora", "build/bin/tremora")]
work=tempfile.mkdtemp(prefix="tremora-worked-")
def Rx(a): c,s=np.cos(a),np.sin(a); return np.array([[1,0,0],[0,c,-s],[0,s,c]])
def Ry(a): c,s=np.cos(a),np.sin(a); return np.array([[c,0,s],[0,1,0],[-s,0,c]])
def Rz(a): c,s=np.cos(a),np.sin(a); return np.array([[c,-s,0],[s,c,0],[0,0,1]])
nx,ny,nz,nt=64,64,36,2
i,j,k=np.meshgrid(np.arange(nx),np.arange(ny),np.arange(nz),indexing='ij')
def run(name, aff, motionfile, text, fmt, oracle_disp):
    d=os.path.join(work,name); shutil.rmtree(d,ignore_errors=True); os.makedirs(d)
    x,y,z=(i-31.5)/25,(j-31.5)/28,(k-17.5)/15
    vol=np.where(x*x+y*y+z*z<=1,1000,60).astype(np.int16)
    img=nib.Nifti1Image(np.repeat(vol[...,None],nt,3),aff); img.header.set_xyzt_units('mm','sec'); img.header['pixdim'][4]=2
    img.set_sform(aff,1); img.set_qform(aff,1); nib.save(img,f'{d}/run.nii.gz')
    open(f'{d}/{motionfile}','w').write(text+"\n0 0 0 0 0 0\n")
    exp=np.linalg.norm(oracle_disp(aff),axis=0)
    res={}
    for tag,root in programs:
        o=f'{d}/{tag}'
        subprocess.run([root,'import','--bold',f'{d}/run.nii.gz','--motion',f'{d}/{motionfile}','--motion-format',fmt,'--out',o,'--name','run'],check=True,capture_output=True)
        subprocess.run([root,'displacement','--fmr',f'{o}/run.fmr','--sdm',f'{o}/run_3DMC.sdm','--threshold','50','--maps','max-abs'],check=True,capture_output=True)
        m=nib.load(f'{o}/run_3DMC_MaxAbsolute.nii.gz').get_fdata()
        res[tag]=np.abs(m-exp).max()
    print(f"{name}: largest true displacement {exp.max():.3f} mm; worst error of the map: " + ", ".join(f"{t} {e:.6f} mm" for t, e in res.items()))
dx=3.0
# worked example: radiological, centre at origin
aff=np.diag([-3.,3,3,1]); aff[:3,3]=[94.5,-94.5,-52.5]
def fsl_disp(aff, r=(0,0,0.0349066), t=(0,2,0)):
    mir=np.linalg.det(aff[:3,:3])>0
    f=np.stack([((nx-1-i) if mir else i)*dx, j*dx, k*dx])
    c=np.array([31.5*dx,31.5*dx,17.5*dx])  # symmetric image
    R=Rx(-r[0])@Ry(-r[1])@Rz(-r[2])
    fc=f-c[:,None,None,None]
    return np.einsum('ab,bijk->aijk',R,fc)+c[:,None,None,None]+np.array(t)[:,None,None,None]-f
run('fsl_worked',aff,'mc.par','0 0 0.0349066 0 2 0','fsl',fsl_disp)
def afni_disp(aff, roll=2,dL=2):
    x=np.stack([-aff[0,0]*(i-31.5), -aff[1,1]*(j-31.5), aff[2,2]*(k-17.5)])  # LPS offsets from the centre
    R=Ry(0)@Rx(0)@Rz(np.radians(roll))
    return np.einsum('ab,bijk->aijk',R,x)+np.array([dL,0,0])[:,None,None,None]-x
run('afni_worked',aff,'mc.1D','2 0 0 0 2 0','afni',afni_disp)
# SPM: oblique 15 deg about x, 10 about z, centre 30 mm off origin
Q=Rx(np.radians(15))@Rz(np.radians(10))
A=Q@np.diag([dx,dx,dx]); cen=np.array([10,20,-20.])
affo=np.eye(4); affo[:3,:3]=A; affo[:3,3]=cen-A@np.array([31.5,31.5,17.5])
def spm_disp(aff, t=(0,2,0), p=(0,0,0.0349066)):
    v=np.stack([i,j,k]).reshape(3,-1)
    w=aff[:3,:3]@v+aff[:3,3:4]
    M=Rx(-p[0])@Ry(p[1])@Rz(-p[2])
    return (M@w+np.array(t)[:,None]-w).reshape(3,nx,ny,nz)
run('spm_oblique_offcentre',affo,'rp_run.txt','0 2 0 0 0 0.0349066','spm',spm_disp)
