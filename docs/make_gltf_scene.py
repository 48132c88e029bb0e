# Writes things.gltf and things.bin, the glTF scene of docs/koru_render_gltf.png:
# two red tori, a blue sphere and a floor, placed by node transforms, without
# normals (the importer smooths them). Usage: python3 docs/make_gltf_scene.py
import json, math, struct
meshes=[]; buf=bytearray(); views=[]; accs=[]
def add_mesh(pos, idx):
    global buf
    off=len(buf)
    for p in pos: buf+=struct.pack('<3f',*p)
    views.append({"buffer":0,"byteOffset":off,"byteLength":len(pos)*12})
    mn=[min(p[a] for p in pos) for a in range(3)]; mx=[max(p[a] for p in pos) for a in range(3)]
    accs.append({"bufferView":len(views)-1,"componentType":5126,"count":len(pos),"type":"VEC3","min":mn,"max":mx})
    off=len(buf)
    for i in idx: buf+=struct.pack('<I',i)
    views.append({"buffer":0,"byteOffset":off,"byteLength":len(idx)*4})
    accs.append({"bufferView":len(views)-1,"componentType":5125,"count":len(idx),"type":"SCALAR"})
    return len(accs)-2, len(accs)-1
def grid(nu,nv,f,wrapu=True,wrapv=True):
    pos=[f(i/nu,j/nv) for j in range(nv) for i in range(nu)]
    idx=[]
    for j in range(nv if wrapv else nv-1):
        for i in range(nu if wrapu else nu-1):
            a=j*nu+i; b=j*nu+(i+1)%nu; c=((j+1)%nv)*nu+(i+1)%nu; d=((j+1)%nv)*nu+i
            idx+=[a,c,b,a,d,c]
    return pos,idx
def torus(u,v,R=1.0,r=0.35):
    U=2*math.pi*u; V=2*math.pi*v
    return ((R+r*math.cos(V))*math.cos(U), r*math.sin(V), (R+r*math.cos(V))*math.sin(U))
def sphere(u,v):
    U=2*math.pi*u; V=math.pi*(0.02+0.96*v)
    return (math.sin(V)*math.cos(U), -math.cos(V), math.sin(V)*math.sin(U))
t=add_mesh(*grid(96,32,torus))
sp,si=grid(64,40,sphere,True,False)
n=len(sp); sp+= [(0,-1,0),(0,1,0)]
for i in range(64):
    a=i; b=(i+1)%64; si+=[n,a,b]
    a=39*64+i; b=39*64+(i+1)%64; si+=[n+1,b,a]
s=add_mesh(sp,si)
# floor: two triangles (a box face), flat
f=add_mesh([(-2.6,0,-2.6),(2.6,0,-2.6),(2.6,0,2.6),(-2.6,0,2.6)],[0,3,2,0,2,1])
mats=[{"pbrMetallicRoughness":{"baseColorFactor":c+[1],"metallicFactor":0}} for c in ([0.85,0.2,0.15],[0.2,0.4,0.9],[0.7,0.7,0.65])]
gl={"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0,1,2,3]}],
 "nodes":[{"mesh":0,"translation":[-0.9,0.35,0],"rotation":[0.2588,0,0,0.9659]},
          {"mesh":1,"translation":[1.2,0.8,0.4],"scale":[0.8,0.8,0.8]},
          {"mesh":0,"translation":[0.6,0.3,-1.6],"scale":[0.6,0.6,0.6]},
          {"mesh":2}],
 "meshes":[{"primitives":[{"attributes":{"POSITION":t[0]},"indices":t[1],"material":0}]},
           {"primitives":[{"attributes":{"POSITION":s[0]},"indices":s[1],"material":1}]},
           {"primitives":[{"attributes":{"POSITION":f[0]},"indices":f[1],"material":2}]}],
 "materials":mats,"buffers":[{"uri":"things.bin","byteLength":len(buf)}],"bufferViews":views,"accessors":accs}
open('things.bin','wb').write(buf); open('things.gltf','w').write(json.dumps(gl))
